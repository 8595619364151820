#include "core/VelkoServer.h"

#include <thread>

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QTimeZone>

#include "core/ChildProcess.h"
#include "core/LocalHttp.h"
#include "core/Paths.h"
#include "core/ProcessTree.h"
#include "core/ServerConfig.h"
#include "core/ShellEnvironment.h"
#include "core/Supervisor.h"

namespace {

constexpr int maxLines = 30;
// A server that prints without line feeds cannot grow the pending line without bound.
constexpr qsizetype maxPartialLine = 64 * 1024;
constexpr quint16 fallbackPort = 8787;
constexpr auto pollStep = std::chrono::milliseconds(150);
constexpr auto stopGrace = std::chrono::seconds(3);

} // namespace

VelkoServer::VelkoServer() = default;

VelkoServer::~VelkoServer()
{
    stop();
}

std::optional<quint16> VelkoServer::port() const
{
    std::lock_guard lock(m_mutex);
    return m_port;
}

pid_t VelkoServer::pid() const
{
    std::lock_guard lock(m_mutex);
    return m_process ? m_process->pid() : 0;
}

QStringList VelkoServer::lastLines() const
{
    std::lock_guard lock(m_mutex);
    return m_lastLines;
}

QProcessEnvironment VelkoServer::environment(quint16 port, std::optional<Provider> provider,
                                             const std::optional<QString> &key,
                                             const QString &envFile)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    const ServerConfig::Entries keys = ServerConfig::builtinKeys();
    for (auto it = keys.cbegin(); it != keys.cend(); ++it)
        env.insert(it.key(), it.value());
    if (provider) {
        env.insert(QStringLiteral("VELKO_PROVIDER"), provider->rawValue());
        if (const auto keyVar = provider->keyVar(); keyVar && key)
            env.insert(*keyVar, *key);
    }
    const QString pythonHome = Paths::pythonHome();
    const QString inherited = env.value(QStringLiteral("PATH"));
    env.insert(QStringLiteral("PYTHONHOME"), pythonHome);
    env.insert(QStringLiteral("PYTHONDONTWRITEBYTECODE"), QStringLiteral("1"));
    env.insert(QStringLiteral("PYTHONPYCACHEPREFIX"), Paths::pycacheDir());
    env.insert(QStringLiteral("PYTHONUNBUFFERED"), QStringLiteral("1"));
    env.insert(QStringLiteral("PATH"),
               ShellEnvironment::pipelinePath(pythonHome + QStringLiteral("/bin"), {},
                                              inherited.isEmpty() ? std::nullopt
                                                                  : std::optional(inherited)));
    env.insert(QStringLiteral("VELKO_SERVER_ENV"), envFile);
    env.insert(QStringLiteral("VELKO_SERVER_HOST"), QStringLiteral("127.0.0.1"));
    env.insert(QStringLiteral("VELKO_SERVER_PORT"), QString::number(port));
    env.insert(QStringLiteral("VELKO_PARENT_PID"), QString::number(::getpid()));
    env.remove(QStringLiteral("VELKO_API_TOKENS"));
    return env;
}

bool VelkoServer::healthy(quint16 port)
{
    return LocalHttp::request(port, "GET", QStringLiteral("/v1/health"), {}, QByteArray(),
                              std::chrono::milliseconds(1500)) == 200;
}

void VelkoServer::consume(const QByteArray &bytes)
{
    std::lock_guard lock(m_mutex);
    if (m_log.isOpen()) {
        m_log.write(bytes);
        m_log.flush();
    }
    // Lines are complete at their line feed, so a line written in two pieces stays one line.
    m_partial += bytes;
    qsizetype end = m_partial.lastIndexOf('\n');
    if (end < 0 && m_partial.size() > maxPartialLine)
        end = m_partial.size();
    if (end < 0)
        return;
    const QString text = QString::fromUtf8(m_partial.left(end));
    m_partial.remove(0, end + 1);
    for (const QString &line : text.split(u'\n', Qt::SkipEmptyParts))
        m_lastLines.append(line);
    if (m_lastLines.size() > maxLines)
        m_lastLines.remove(0, m_lastLines.size() - maxLines);
}

std::optional<QString> VelkoServer::start(std::optional<Provider> provider,
                                          const std::optional<QString> &key, const QString &envFile,
                                          std::chrono::milliseconds timeout)
{
    {
        std::lock_guard lock(m_mutex);
        if (m_process)
            return std::nullopt;
    }
    const QString script = QDir(Paths::serverRoot()).filePath(QStringLiteral("app.py"));
    if (!QFileInfo::exists(script))
        return QStringLiteral("the built-in server is missing from this build");
    Paths::ensure();
    const quint16 port = Supervisor::freePort().value_or(fallbackPort);

    ChildProcess::Spec spec;
    spec.program = Paths::pythonHome() + QStringLiteral("/bin/python3");
    spec.arguments = {QStringLiteral("-u"), Supervisor::launcher(), script};
    spec.workingDirectory = Paths::dataDir();
    spec.environment = environment(port, provider, key, envFile).toStringList();

    auto child = std::make_shared<ChildProcess>();
    {
        std::lock_guard lock(m_mutex);
        m_partial.clear();
        m_log.close();
        m_log.setFileName(QDir(Paths::logsDir()).filePath(QStringLiteral("velko-server.log")));
        if (m_log.open(QIODevice::WriteOnly | QIODevice::Append)) {
            const QString stamp = QDateTime::currentDateTimeUtc().toString(
                QStringLiteral("yyyy-MM-dd HH:mm:ss +0000"));
            m_log.write(QStringLiteral("\n--- %1 built-in server on port %2\n")
                            .arg(stamp)
                            .arg(port)
                            .toUtf8());
            m_log.flush();
        }
    }
    if (const auto failure =
            child->start(spec, [this](const QByteArray &bytes) { consume(bytes); }, {})) {
        return QStringLiteral("could not start the built-in server: %1").arg(*failure);
    }
    {
        std::lock_guard lock(m_mutex);
        m_process = child;
        m_port = port;
    }

    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        {
            std::lock_guard lock(m_mutex);
            if (m_process != child)
                return QStringLiteral("the built-in server was stopped while starting");
        }
        if (!child->isRunning()) {
            child->waitForExit(); // its last output is in lastLines once the exit is reported
            std::lock_guard lock(m_mutex);
            if (m_process == child)
                m_process.reset();
            // The last words before an exit often lack their line feed.
            if (!m_partial.isEmpty()) {
                m_lastLines.append(QString::fromUtf8(m_partial));
                m_partial.clear();
                if (m_lastLines.size() > maxLines)
                    m_lastLines.removeFirst();
            }
            return QStringLiteral("the built-in server exited: ") +
                m_lastLines.mid(qMax(0, m_lastLines.size() - 3)).join(u' ');
        }
        if (healthy(port))
            return std::nullopt;
        std::this_thread::sleep_for(pollStep);
    }
    return QStringLiteral("the built-in server did not answer on port %1").arg(port);
}

QList<pid_t> VelkoServer::stop()
{
    std::shared_ptr<ChildProcess> child;
    {
        std::lock_guard lock(m_mutex);
        child = std::move(m_process);
        m_process.reset();
        m_port.reset();
    }
    if (!child)
        return {};
    const QList<pid_t> survivors = ProcessTree::terminate(child->pid(), stopGrace);
    child->waitForExit();
    return survivors;
}
