#include "core/Paths.h"

#include <QDir>
#include <QFileInfo>

#include <filesystem>

#include <unistd.h>

namespace {

QString env(const char *name)
{
    return qEnvironmentVariable(name);
}

QString xdgDir(const char *variable, const QString &fallbackUnderHome)
{
    const QString value = env(variable);
    if (!value.isEmpty() && QDir::isAbsolutePath(value))
        return QDir::cleanPath(value);
    return QDir::cleanPath(QDir::homePath() + '/' + fallbackUnderHome);
}

QString join(const QString &dir, const QString &name)
{
    return QDir::cleanPath(dir + '/' + name);
}

} // namespace

namespace Paths {

QString dataDir()
{
    QString value = env("VELKO_DATA_DIR");
    if (!value.isEmpty()) {
        if (value == QLatin1String("~") || value.startsWith(QLatin1String("~/")))
            value = QDir::homePath() + value.mid(1);
        return QDir::cleanPath(value);
    }
    return join(xdgDir("XDG_DATA_HOME", ".local/share"), "Velko AI");
}

QString logsDir()
{
    return join(xdgDir("XDG_STATE_HOME", ".local/state"), "Velko AI/logs");
}

QString pycacheDir()
{
    return join(xdgDir("XDG_CACHE_HOME", ".cache"), "Velko AI/pycache");
}

QString runtimeDir()
{
    const QString runtime = env("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QFileInfo(runtime).isDir())
        return QDir::cleanPath(runtime);
    return QDir::cleanPath(QDir::tempPath());
}

QString controlSocket()
{
    return join(runtimeDir(), QStringLiteral("velko-ai-host-%1.sock").arg(::getpid()));
}

QString bundleResources()
{
    // /proc/self/exe rather than QCoreApplication, which may not exist yet.
    const QString exe = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
    const QString prefix = QFileInfo(exe).dir().absoluteFilePath(QStringLiteral(".."));
    return join(prefix, "share/velko-ai");
}

QString pythonHome()
{
    const QString value = env("VELKO_PYTHON_HOME");
    if (!value.isEmpty())
        return value;
    return join(bundleResources(), "python");
}

QString serverRoot()
{
    const QString repo = env("VELKO_REPO");
    if (!repo.isEmpty())
        return join(repo, "server");
    return join(bundleResources(), "server");
}

QString pipelineRoot()
{
    const QString repo = env("VELKO_REPO");
    if (repo.isEmpty())
        return join(bundleResources(), "app");
    const QString core = join(repo, "core");
    if (QFileInfo(core).isDir())
        return core;
    const QString client = join(repo, "client");
    if (QFileInfo(client).isDir())
        return client;
    return core;
}

QString opencodeBin()
{
    const QString home = env("VELKO_OPENCODE_HOME");
    if (!home.isEmpty())
        return join(home, "bin");
    return join(bundleResources(), "opencode/bin");
}

std::optional<QString> ensure()
{
    for (const QString &dir : {dataDir(), logsDir(), pycacheDir()}) {
        std::error_code error;
        std::filesystem::create_directories(std::filesystem::path(dir.toStdString()), error);
        if (error)
            return QStringLiteral("could not create %1: %2")
                .arg(dir, QString::fromStdString(error.message()));
    }
    std::error_code error;
    std::filesystem::permissions(dataDir().toStdString(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::replace, error);
    if (error)
        return QStringLiteral("could not restrict %1: %2")
            .arg(dataDir(), QString::fromStdString(error.message()));
    return std::nullopt;
}

} // namespace Paths
