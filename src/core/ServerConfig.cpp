#include "core/ServerConfig.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QSettings>
#include <QStringDecoder>

#include "core/Keychain.h"
#include "core/Paths.h"

namespace {

constexpr QFileDevice::Permissions ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

QString dataFile(const char *name)
{
    return QDir(Paths::dataDir()).filePath(QString::fromLatin1(name));
}

std::optional<QString> readUtf8(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    QStringDecoder decode(QStringDecoder::Utf8);
    const QString text = decode(file.readAll());
    if (decode.hasError())
        return std::nullopt;
    return text;
}

QString trimmedOfBlanks(QStringView line)
{
    qsizetype begin = 0, end = line.size();
    while (begin < end && (line[begin] == u' ' || line[begin] == u'\t'))
        ++begin;
    while (end > begin && (line[end - 1] == u' ' || line[end - 1] == u'\t'))
        --end;
    return line.mid(begin, end - begin).toString();
}

// Secrets never go into these files: every writer says so in the first line.
std::optional<QString> writeOwnerOnly(const QString &path, const QString &text)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return QStringLiteral("could not write %1: %2").arg(path, file.errorString());
    file.setPermissions(ownerOnly);
    file.write(text.toUtf8());
    if (!file.commit())
        return QStringLiteral("could not write %1: %2").arg(path, file.errorString());
    if (!QFile::setPermissions(path, ownerOnly))
        return QStringLiteral("could not make %1 private").arg(path);
    return std::nullopt;
}

std::optional<QString> nonEmptySecret(const QString &account)
{
    auto value = Keychain::get(account);
    if (!value || value->isEmpty())
        return std::nullopt;
    return value;
}

} // namespace

namespace ServerConfig {

Mode mode()
{
    return QSettings().value(QStringLiteral("serverMode")).toString() == QLatin1String("builtin")
        ? Mode::Builtin
        : Mode::Remote;
}

QString remoteURL()
{
    const QVariant stored = QSettings().value(QStringLiteral("serverURL"));
    return stored.isValid() ? stored.toString() : QString::fromLatin1(defaultServerURL);
}

QString envFilePath()
{
    return dataFile("server.env");
}

Entries parseEnv(const QString &text)
{
    Entries current, older;
    const QString olderPrefix = QStringLiteral("QUORREL_");
    for (const QStringView rawLine : QStringView(text).split(u'\n', Qt::SkipEmptyParts)) {
        const QString line = trimmedOfBlanks(rawLine);
        if (line.isEmpty() || line.startsWith(u'#'))
            continue;
        const qsizetype equals = line.indexOf(u'=');
        if (equals < 0)
            continue;
        const QString key = line.left(equals);
        const QString value = line.mid(equals + 1);
        if (key.startsWith(olderPrefix))
            older.insert(QStringLiteral("VELKO_") + key.mid(olderPrefix.size()), value);
        else
            current.insert(key, value);
    }
    for (auto it = current.cbegin(); it != current.cend(); ++it)
        older.insert(it.key(), it.value());
    return older;
}

Entries readEnvFile()
{
    const auto text = readUtf8(envFilePath());
    return text ? parseEnv(*text) : Entries {};
}

std::optional<Provider> provider()
{
    const Entries entries = readEnvFile();
    const auto found = entries.constFind(QStringLiteral("VELKO_PROVIDER"));
    return found == entries.cend() ? std::nullopt : Provider::fromRawValue(*found);
}

Entries builtinKeys()
{
    Entries keys;
    for (const QString &name : Provider::keyVariables()) {
        if (const auto value = nonEmptySecret(name))
            keys.insert(name, *value);
    }
    return keys;
}

bool adoptClientProviderSettings()
{
    QString source;
    for (const char *name : {".vuvuvuv.env", ".quorrel.env"}) {
        if (QFile::exists(dataFile(name))) {
            source = dataFile(name);
            break;
        }
    }
    if (QFile::exists(envFilePath()) || source.isEmpty())
        return false;
    const auto text = readUtf8(source);
    if (!text)
        return false;
    const Entries entries = parseEnv(*text);
    if (!entries.contains(QStringLiteral("VELKO_PROVIDER")))
        return false;
    QStringList lines;
    for (const char *key :
         {"VELKO_PROVIDER", "VELKO_MODEL", "VELKO_REFRESH_CMD", "VELKO_AUTO_CREDS", "VELKO_ACCOUNT",
          "VELKO_ROLE", "AWS_PROFILE", "AWS_REGION"}) {
        const auto found = entries.constFind(QString::fromLatin1(key));
        if (found != entries.cend())
            lines.append(QString::fromLatin1(key) + u'=' + *found);
    }
    const QString content = QStringLiteral("# moved here from the client's settings by Velko AI "
                                           "\u2014 keys are in the Keychain, never here\n") +
        lines.join(u'\n') + u'\n';
    return !writeOwnerOnly(envFilePath(), content);
}

std::optional<QString> writeBuiltin(Provider chosen, const std::optional<QString> &awsProfile,
                                    const std::optional<QString> &awsRegion)
{
    Entries entries = readEnvFile();
    for (const QString &name : Provider::keyVariables())
        entries.remove(name);
    entries.insert(QStringLiteral("VELKO_PROVIDER"), chosen.rawValue());
    if (chosen == Provider::Bedrock) {
        if (awsProfile && !awsProfile->isEmpty())
            entries.insert(QStringLiteral("AWS_PROFILE"), *awsProfile);
        else
            entries.remove(QStringLiteral("AWS_PROFILE"));
        if (awsRegion && !awsRegion->isEmpty())
            entries.insert(QStringLiteral("AWS_REGION"), *awsRegion);
    }
    QString content =
        QStringLiteral("# written by Velko AI for its built-in server \u2014 keys are "
                       "in the Keychain, never here\n");
    for (auto it = entries.cbegin(); it != entries.cend(); ++it)
        content += it.key() + u'=' + it.value() + u'\n';
    if (const auto failure = Paths::ensure())
        return failure;
    return writeOwnerOnly(envFilePath(), content);
}

Entries pipelineEnv(const std::optional<QString> &builtinURL)
{
    Entries entries;
    if (mode() == Mode::Builtin) {
        if (builtinURL)
            entries.insert(QStringLiteral("VELKO_SERVER_URL"), *builtinURL);
        return entries;
    }
    entries.insert(QStringLiteral("VELKO_SERVER_URL"), remoteURL());
    if (const auto token = nonEmptySecret(QStringLiteral("VELKO_TOKEN")))
        entries.insert(QStringLiteral("VELKO_TOKEN"), *token);
    return entries;
}

} // namespace ServerConfig
