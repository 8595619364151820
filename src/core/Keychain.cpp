#include "core/Keychain.h"

#include <QCoreApplication>
#include <QFile>

namespace {

bool isSmokeRun()
{
    if (QCoreApplication::instance())
        return QCoreApplication::arguments().contains(QStringLiteral("--smoke"));
    // Before the application object exists, the kernel's copy of the arguments.
    QFile cmdline(QStringLiteral("/proc/self/cmdline"));
    if (!cmdline.open(QIODevice::ReadOnly))
        return false;
    return cmdline.readAll().split('\0').contains("--smoke");
}

} // namespace

namespace Keychain {

std::optional<QString> get(const QString &account)
{
    if (isSmokeRun())
        return std::nullopt;
    return SecretStore::current().lookup(service, account);
}

Status set(const QString &account, const QString &value)
{
    // Replace rather than update, so that every attribute of an older item is renewed too.
    SecretStore::current().remove(service, account);
    return SecretStore::current().store(service, account, QStringLiteral("Velko AI: ") + account,
                                        value);
}

Status remove(const QString &account)
{
    return SecretStore::current().remove(service, account);
}

} // namespace Keychain
