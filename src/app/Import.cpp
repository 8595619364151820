#include "app/Import.h"

#include "core/LocalHttp.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>

#include <optional>

using namespace std::chrono_literals;

namespace {

// Any JSON value, also a bare number or text, which a document alone would refuse.
std::optional<QJsonValue> parseValue(const QByteArray &text)
{
    QJsonParseError error;
    const QJsonDocument wrapped = QJsonDocument::fromJson('[' + text + ']', &error);
    if (error.error != QJsonParseError::NoError || wrapped.array().size() != 1)
        return std::nullopt;
    return wrapped.array().first();
}

} // namespace

namespace Import {

Kind kind(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists())
        return Kind::Unsupported;
    if (info.isDir())
        return QFileInfo::exists(QDir(path).filePath(QStringLiteral("session.jsonl")))
            ? Kind::Recording
            : Kind::Unsupported;
    return info.suffix().toLower() == QLatin1String("json") ? Kind::Bundle : Kind::Unsupported;
}

QCoro::Task<Result> send(QNetworkAccessManager *manager, int port, QString token, QString path)
{
    const QFileInfo info(path);
    const QString name = info.fileName();
    QJsonObject body;
    switch (kind(path)) {
    case Kind::Bundle: {
        QFile file(path);
        std::optional<QJsonValue> bundle;
        if (file.open(QIODevice::ReadOnly))
            bundle = parseValue(file.readAll());
        if (!bundle)
            co_return Result {QStringLiteral("%1 is not valid JSON.").arg(name)};
        body = {{QStringLiteral("bundle"), *bundle}, {QStringLiteral("source"), name}};
        break;
    }
    case Kind::Recording:
        body = {{QStringLiteral("session_dir"), info.absoluteFilePath()}};
        break;
    case Kind::Unsupported:
        co_return Result {QStringLiteral("%1 is not a Velko AI workflow or recording.").arg(name)};
    }

    const LocalHttp::Answer answer =
        co_await LocalHttp::post(manager, port, QStringLiteral("/api/import"), token,
                                 QJsonDocument(body).toJson(QJsonDocument::Compact), 30s);
    const std::optional<QJsonObject> reply = answer.status ? answer.object() : std::nullopt;
    if (!reply)
        co_return Result {
            QStringLiteral("No answer from the pipeline while importing %1.").arg(name), true};
    if (answer.status == 200 && reply->value(QStringLiteral("ok")).toBool(false))
        co_return Result {QStringLiteral("Imported %1.").arg(name)};
    if (const QJsonValue error = reply->value(QStringLiteral("error")); error.isString())
        co_return Result {error.toString(), true};
    co_return Result {QStringLiteral("import failed"), true};
}

} // namespace Import
