// libsecret pulls in GLib, whose headers must come before Qt's `signals` keyword exists.
#include <libsecret/secret.h>

#include "platform/linux/secret/SecretServiceStore.h"

#include <QLoggingCategory>

namespace {

Q_LOGGING_CATEGORY(secretLog, "velko.secret")

const SecretSchema *schema()
{
    // Matched on the attributes alone, not on the schema name.
    static const SecretSchema instance = {
        "org.freedesktop.Secret.Generic",
        SECRET_SCHEMA_DONT_MATCH_NAME,
        {
            {"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
        },
        0,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
    };
    return &instance;
}

// Logs and frees a GError; true when there was one.
bool failed(GError *error, const char *what)
{
    if (!error)
        return false;
    qCWarning(secretLog, "%s: %s", what, error->message);
    g_error_free(error);
    return true;
}

} // namespace

std::optional<QString> SecretServiceStore::lookup(const QString &service, const QString &account)
{
    GError *error = nullptr;
    gchar *secret = secret_password_lookup_sync(schema(), nullptr, &error, "service",
                                                service.toUtf8().constData(), "account",
                                                account.toUtf8().constData(), nullptr);
    if (failed(error, "could not read a secret") || !secret)
        return std::nullopt;
    const QString value = QString::fromUtf8(secret);
    secret_password_free(secret);
    return value;
}

SecretStore::Status SecretServiceStore::store(const QString &service, const QString &account,
                                              const QString &label, const QString &value)
{
    GError *error = nullptr;
    const gboolean stored = secret_password_store_sync(
        schema(), SECRET_COLLECTION_DEFAULT, label.toUtf8().constData(), value.toUtf8().constData(),
        nullptr, &error, "service", service.toUtf8().constData(), "account",
        account.toUtf8().constData(), nullptr);
    if (failed(error, "could not store a secret") || !stored)
        return Failed;
    return Ok;
}

SecretStore::Status SecretServiceStore::remove(const QString &service, const QString &account)
{
    GError *error = nullptr;
    const gboolean removed = secret_password_clear_sync(schema(), nullptr, &error, "service",
                                                        service.toUtf8().constData(), "account",
                                                        account.toUtf8().constData(), nullptr);
    if (failed(error, "could not remove a secret"))
        return Failed;
    return removed ? Ok : NotFound;
}
