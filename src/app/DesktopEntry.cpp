#include "app/DesktopEntry.h"

#include "core/AppLog.h"
#include "core/Paths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSaveFile>
#include <QStandardPaths>

#include <QCoro/QCoroProcess>

namespace {

const QString entryName = QStringLiteral("velko-ai.desktop");
const QString schemeType = QStringLiteral("x-scheme-handler/vuvuvuv");

// Runs a helper program; its standard output, or nothing when it is missing or fails.
QCoro::Task<std::optional<QByteArray>> run(QString program, QStringList args)
{
    const QString path = QStandardPaths::findExecutable(program);
    if (path.isEmpty())
        co_return std::nullopt;
    QProcess process;
    process.setProgram(path);
    process.setArguments(args);
    process.setStandardErrorFile(QProcess::nullDevice());
    co_await qCoro(process).start();
    co_await qCoro(process).waitForFinished(10000);
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        co_await qCoro(process).waitForFinished(1000);
        AppLog::write(QStringLiteral("desktop entry: %1 did not finish").arg(program));
        co_return std::nullopt;
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        AppLog::write(QStringLiteral("desktop entry: %1 failed").arg(program));
        co_return std::nullopt;
    }
    co_return process.readAllStandardOutput();
}

// An Exec argument quoted by the desktop entry rules: reserved characters inside double quotes,
// then backslashes doubled once more because the value is a desktop entry string.
QString execArgument(const QString &arg)
{
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    bool plain = true;
    for (const QChar c : arg)
        plain = plain && !reserved.contains(c);
    if (plain)
        return arg;
    QString quoted = QStringLiteral("\"");
    for (const QChar c : arg) {
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\')
            quoted += u'\\';
        quoted += c;
    }
    quoted += u'"';
    return quoted.replace(u'\\', QStringLiteral("\\\\"));
}

} // namespace

QString DesktopEntry::userEntryPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
        QStringLiteral("/applications/") + entryName;
}

QString DesktopEntry::withExecutable(const QString &entry, const QString &executable)
{
    QStringList lines = entry.split(u'\n');
    for (QString &line : lines) {
        if (line.startsWith(QLatin1StringView("Exec=")))
            line = QStringLiteral("Exec=") + execArgument(executable) + QStringLiteral(" %U");
    }
    return lines.join(u'\n');
}

QCoro::Task<> DesktopEntry::install()
{
    const QString target = userEntryPath();
    if (!QFileInfo::exists(target)) {
        QFile source(Paths::bundleResources() + u'/' + entryName);
        QSaveFile file(target);
        if (!source.open(QIODevice::ReadOnly)) {
            AppLog::write(QStringLiteral("desktop entry: %1 is missing").arg(source.fileName()));
            co_return;
        }
        const QString entry = withExecutable(QString::fromUtf8(source.readAll()),
                                             QCoreApplication::applicationFilePath());
        if (!QDir().mkpath(QFileInfo(target).path()) || !file.open(QIODevice::WriteOnly) ||
            file.write(entry.toUtf8()) < 0 ||
            !file.setPermissions(QFile::ReadOwner | QFile::WriteOwner) || !file.commit()) {
            AppLog::write(QStringLiteral("desktop entry: could not write %1").arg(target));
            co_return;
        }
        AppLog::write(QStringLiteral("desktop entry: wrote %1").arg(target));
        const QStringList refresh {QFileInfo(target).path()};
        co_await run(QStringLiteral("update-desktop-database"), refresh);
    }
    const QStringList query {QStringLiteral("query"), QStringLiteral("default"), schemeType};
    const auto handler = co_await run(QStringLiteral("xdg-mime"), query);
    if (handler && handler->trimmed().isEmpty()) {
        const QStringList choose {QStringLiteral("default"), entryName, schemeType};
        if (co_await run(QStringLiteral("xdg-mime"), choose))
            AppLog::write(QStringLiteral("desktop entry: handles vuvuvuv: links"));
    }
}
