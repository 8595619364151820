#include "app/LoginItem.h"

#include "core/AppLog.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QStandardPaths>

#include <algorithm>
#include <optional>

namespace {

// Quoting of an Exec argument by the desktop entry rules.
QString quoted(QString argument)
{
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    if (!std::any_of(argument.cbegin(), argument.cend(),
                     [](QChar c) { return reserved.contains(c); }))
        return argument;
    QString escaped;
    for (const QChar c : argument) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') ||
            c == QLatin1Char('\\'))
            escaped += QLatin1Char('\\');
        escaped += c;
    }
    // The file format itself reads backslashes as escapes too.
    escaped.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    return QLatin1Char('"') + escaped + QLatin1Char('"');
}

QString executable()
{
    // An AppImage runs from a temporary mount: the image itself is what must start.
    const QString image = qEnvironmentVariable("APPIMAGE");
    return image.isEmpty() ? QCoreApplication::applicationFilePath() : image;
}

std::optional<QString> write(const QString &path)
{
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return QStringLiteral("could not create %1").arg(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return file.errorString();
    const QString entry = QStringLiteral("[Desktop Entry]\n"
                                         "Type=Application\n"
                                         "Name=Velko AI\n"
                                         "Comment=Starts Velko AI in the background at login\n"
                                         "Exec=%1 %2\n"
                                         "Icon=velko-ai\n"
                                         "Terminal=false\n"
                                         "X-GNOME-Autostart-enabled=true\n")
                              .arg(quoted(executable()), LoginItem::kLaunchedAtLogin);
    file.write(entry.toUtf8());
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (!file.commit())
        return file.errorString();
    return std::nullopt;
}

} // namespace

namespace LoginItem {

QString entryPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
        QStringLiteral("/autostart/velko-ai.desktop");
}

bool enabled()
{
    QFile entry(entryPath());
    if (!entry.open(QIODevice::ReadOnly))
        return false;
    // A user who turned it off in the desktop's settings left the file with one of these.
    for (const QByteArray &line : entry.readAll().split('\n')) {
        const QByteArray setting = line.trimmed();
        if (setting == "Hidden=true" || setting == "X-GNOME-Autostart-enabled=false")
            return false;
    }
    return true;
}

bool set(bool on)
{
    const QString state = on ? QStringLiteral("on") : QStringLiteral("off");
    std::optional<QString> error;
    if (on) {
        error = write(entryPath());
    } else {
        QFile entry(entryPath());
        if (entry.exists() && !entry.remove())
            error = entry.errorString();
    }
    if (error) {
        AppLog::write(QStringLiteral("login item: could not turn it %1 — %2").arg(state, *error));
        return false;
    }
    AppLog::write(QStringLiteral("login item: %1 — %2")
                      .arg(state, enabled() ? QStringLiteral("on") : QStringLiteral("off")));
    return true;
}

} // namespace LoginItem
