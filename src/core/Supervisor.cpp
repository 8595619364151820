#include "core/Supervisor.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QHostAddress>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QPointer>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTimer>

#include <qcoro/qcorofuture.h>
#include <qcoro/qcoronetworkreply.h>
#include <qcoro/qcorotimer.h>

#include <unistd.h>

#include "core/Background.h"
#include "core/ChildProcess.h"
#include "core/LocalHttp.h"
#include "core/Paths.h"
#include "core/ProcessTree.h"
#include "core/ServerConfig.h"
#include "core/ShellEnvironment.h"
#include "core/VelkoServer.h"

namespace {

constexpr quint16 fallbackPort = 8765;
constexpr auto leftoverGrace = std::chrono::seconds(3);
// A pipeline that prints without line feeds cannot grow the pending line without bound.
constexpr qsizetype maxPartialLine = 64 * 1024;

QString makeToken()
{
    quint32 words[8];
    QRandomGenerator::system()->fillRange(words);
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char *>(words), sizeof words).toHex());
}

QNetworkAccessManager *network()
{
    static QPointer<QNetworkAccessManager> instance;
    if (!instance) {
        instance = new QNetworkAccessManager(QCoreApplication::instance());
        instance->setProxy(QNetworkProxy::NoProxy);
    }
    return instance;
}

QString utcStamp()
{
    return QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss +0000"));
}

} // namespace

Supervisor::Supervisor(QObject *parent)
    : QObject(parent)
    , m_token(makeToken())
    , m_server(std::make_shared<VelkoServer>())
{ }

Supervisor::~Supervisor()
{
    // Quitting stops the pipeline first; this only keeps a forgotten tree from outliving us.
    if (m_process && m_process->isRunning())
        ProcessTree::terminate(m_process->pid(), m_limits.stopGrace);
}

pid_t Supervisor::pid() const
{
    return m_process ? m_process->pid() : 0;
}

void Supervisor::start()
{
    if (m_process || m_launchPending)
        return;
    m_stopping = false;
    m_launchPending = true;
    setPhase(Phase::starting());
    begin(++m_run);
}

QCoro::Task<> Supervisor::begin(quint64 run)
{
    // The future is made outside the co_await expression: GCC 12 destroys the captures of a
    // lambda temporary inside one twice.
    QPointer<Supervisor> self(this);
    // A login shell with slow start-up files may take seconds: never on the main thread.
    if (!m_loginPath) {
        QFuture<std::optional<QString>> probe = Background::run(
            [timeout = m_limits.loginPathTimeout] { return ShellEnvironment::loginPath(timeout); });
        const std::optional<QString> found = co_await probe;
        if (!self || run != m_run)
            co_return;
        m_loginPath = found;
    }
    const bool builtin = ServerConfig::mode() == ServerConfig::Mode::Builtin;
    QFuture<std::optional<QString>> serverStart;
    std::optional<QString> serverFailure;
    if (builtin) {
        serverStart = startServer();
        serverFailure = co_await serverStart;
    }
    if (!self || run != m_run)
        co_return;
    if (!builtin)
        m_server->stop();
    setServerError(serverFailure);
    const std::optional<QString> launchFailure = launch();
    if (launchFailure) {
        m_launchPending = false;
        setPhase(
            Phase::crashed(QStringLiteral("could not start the pipeline: %1").arg(*launchFailure)));
    }
}

QFuture<std::optional<QString>> Supervisor::startServer() const
{
    return Background::run([server = m_server, envFile = ServerConfig::envFilePath(),
                            timeout = m_limits.serverTimeout] {
        return server->start(std::nullopt, std::nullopt, envFile, timeout);
    });
}

std::optional<QString> Supervisor::launch()
{
    if (const auto failure = Paths::ensure())
        return failure;
    if (const QList<pid_t> reaped = reapOrphans(); !reaped.isEmpty()) {
        appendLines({QStringLiteral("stopped %1 pipeline(s) left by an earlier Velko AI that did "
                                    "not quit cleanly")
                         .arg(reaped.size())});
    }
    const int port = freePort().value_or(fallbackPort);

    ChildProcess::Spec spec;
    spec.program = Paths::pythonHome() + QStringLiteral("/bin/python3");
    spec.arguments = {QStringLiteral("-u"), launcher(),
                      QDir(Paths::pipelineRoot()).filePath(QStringLiteral("webapp/server.py"))};
    spec.workingDirectory = Paths::dataDir();
    spec.environment = environment(port).toStringList();

    m_log.close();
    m_log.setFileName(QDir(Paths::logsDir()).filePath(QStringLiteral("server.log")));
    if (m_log.open(QIODevice::WriteOnly | QIODevice::Append))
        writeLog(QStringLiteral("\n--- %1 starting pipeline on port %2\n")
                     .arg(utcStamp())
                     .arg(port)
                     .toUtf8());

    auto child = std::make_unique<ChildProcess>();
    const quint64 generation = ++m_generation;
    m_partial.clear();
    // The handlers run on the child's threads; they only post to the main thread. The child is
    // ours and joins its threads when destroyed, and posted calls die with this object.
    const auto failure = child->start(
        spec,
        [this, generation](const QByteArray &bytes) {
            QMetaObject::invokeMethod(
                this, [this, generation, bytes] { consume(generation, bytes); },
                Qt::QueuedConnection);
        },
        [this, generation](int status) {
            QMetaObject::invokeMethod(
                this, [this, generation, status] { exited(generation, status); },
                Qt::QueuedConnection);
        });
    if (failure)
        return failure;
    m_process = std::move(child);
    m_launchPending = false;
    return std::nullopt;
}

void Supervisor::consume(quint64 generation, const QByteArray &raw)
{
    if (generation != m_generation)
        return;
    writeLog(raw);
    // A line is complete at its line feed: an announcement written in two pieces is one line.
    m_partial += raw;
    qsizetype end = m_partial.lastIndexOf('\n');
    if (end < 0 && m_partial.size() > maxPartialLine)
        end = m_partial.size();
    if (end < 0)
        return;
    const QString text = QString::fromUtf8(m_partial.left(end));
    m_partial.remove(0, end + 1);
    appendLines(text.split(u'\n', Qt::SkipEmptyParts));
}

void Supervisor::appendLines(const QStringList &lines)
{
    if (lines.isEmpty())
        return;
    for (const QString &line : lines) {
        m_lastLines.append(line);
        if (const auto port = parsePort(line); port && m_phase.kind == Phase::Starting)
            confirm(*port, m_generation);
    }
    if (m_lastLines.size() > maxLastLines)
        m_lastLines.remove(0, m_lastLines.size() - maxLastLines);
    emit lastLinesChanged();
}

void Supervisor::exited(quint64 generation, int status)
{
    if (generation != m_generation || !m_process)
        return;
    if (!m_partial.isEmpty()) {
        const QString rest = QString::fromUtf8(m_partial);
        m_partial.clear();
        appendLines(rest.split(u'\n', Qt::SkipEmptyParts));
    }
    m_process.reset();
    writeLog(QStringLiteral("--- exited with status %1\n").arg(status).toUtf8());
    if (m_stopping) {
        setPhase(Phase::stopped());
        return;
    }

    const QDateTime now = QDateTime::currentDateTimeUtc();
    m_restarts.removeIf(
        [&](const QDateTime &when) { return when.msecsTo(now) >= m_limits.restartWindow.count(); });
    m_restarts.append(now);
    const int count = m_restarts.size();
    if (count <= m_limits.maxRestarts) {
        m_launchPending = true;
        setPhase(Phase::starting());
        scheduleRestart(m_limits.firstRestartDelay * (1 << (count - 1)));
        return;
    }
    QString reason = QStringLiteral("the pipeline stopped %1 times in two minutes (status %2).\n")
                         .arg(count)
                         .arg(status);
    reason += m_lastLines.mid(qMax(0, m_lastLines.size() - 6)).join(u'\n');
    setPhase(Phase::crashed(reason));
}

void Supervisor::scheduleRestart(std::chrono::milliseconds delay)
{
    QTimer::singleShot(delay, this, [this, run = m_run] {
        if (run != m_run || m_stopping || m_process)
            return;
        if (const auto failure = launch()) {
            m_launchPending = false;
            setPhase(
                Phase::crashed(QStringLiteral("could not restart the pipeline: %1").arg(*failure)));
        }
    });
}

QCoro::Task<> Supervisor::confirm(int port, quint64 generation)
{
    QPointer<Supervisor> self(this);
    const QString token = m_token;
    const int attempts = m_limits.confirmAttempts;
    const auto interval = m_limits.confirmInterval;
    const auto current = [&] {
        return self && generation == m_generation && m_phase.kind == Phase::Starting;
    };
    for (int attempt = 0; attempt < attempts; ++attempt) {
        const int code = co_await status(port, token);
        if (!current())
            co_return;
        if (code == 200) {
            setPhase(Phase::running(port));
            co_return;
        }
        co_await QCoro::sleepFor(interval);
        if (!current())
            co_return;
    }
    setPhase(Phase::crashed(
        QStringLiteral("the pipeline started but did not answer on port %1").arg(port)));
}

QList<pid_t> Supervisor::stop()
{
    m_stopping = true;
    m_launchPending = false;
    ++m_run;
    if (!m_process) {
        setPhase(Phase::stopped());
        return m_server->stop();
    }
    if (m_phase.kind == Phase::Running) {
        postSync(m_phase.port, m_token, QStringLiteral("/api/run/stop"));
        postSync(m_phase.port, m_token, QStringLiteral("/api/record/stop"));
    }
    QList<pid_t> survivors = ProcessTree::terminate(m_process->pid(), m_limits.stopGrace);
    m_process->waitForExit();
    // What this process still has queued for the main thread is dropped with its generation.
    ++m_generation;
    writeLog(QStringLiteral("--- exited with status %1\n").arg(m_process->exitStatus()).toUtf8());
    m_process.reset();
    m_partial.clear();
    setPhase(Phase::stopped());
    survivors += m_server->stop();
    return survivors;
}

QProcessEnvironment Supervisor::environment(int port) const
{
    const QString pythonHome = Paths::pythonHome();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("PATH"),
               ShellEnvironment::pipelinePath(pythonHome + QStringLiteral("/bin"),
                                              {Paths::opencodeBin()}, m_loginPath));
    env.insert(QStringLiteral("PYTHONHOME"), pythonHome);
    env.insert(QStringLiteral("PYTHONDONTWRITEBYTECODE"), QStringLiteral("1"));
    env.insert(QStringLiteral("PYTHONPYCACHEPREFIX"), Paths::pycacheDir());
    env.insert(QStringLiteral("PYTHONUNBUFFERED"), QStringLiteral("1"));
    env.insert(QStringLiteral("VELKO_HOME"), Paths::dataDir());
    env.insert(QStringLiteral("VELKO_UI_TOKEN"), m_token);
    env.insert(QStringLiteral("VELKO_HOST_SOCKET"), Paths::controlSocket());
    env.insert(QStringLiteral("PORT"), QString::number(port));
    env.insert(QStringLiteral("VELKO_PYTHON"), pythonHome + QStringLiteral("/bin/python3"));
    env.insert(QStringLiteral("VELKO_PARENT_PID"), QString::number(::getpid()));
    env.remove(QStringLiteral("VELKO_DEV"));
    std::optional<QString> builtinURL;
    if (const auto serverPort = m_server->port())
        builtinURL = QStringLiteral("http://127.0.0.1:%1").arg(*serverPort);
    const ServerConfig::Entries configured = ServerConfig::pipelineEnv(builtinURL);
    for (auto it = configured.cbegin(); it != configured.cend(); ++it)
        env.insert(it.key(), it.value());
    for (auto it = m_extraEnv.cbegin(); it != m_extraEnv.cend(); ++it)
        env.insert(it.key(), it.value());
    // The pipeline never sees a provider key, whoever set it.
    for (const QString &name : Provider::keyVariables())
        env.remove(name);
    env.remove(QStringLiteral("VELKO_API_TOKENS"));
    return env;
}

std::optional<quint16> Supervisor::freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress(QHostAddress::LocalHost), 0))
        return std::nullopt;
    const quint16 port = probe.serverPort();
    probe.close();
    return port ? std::optional(port) : std::nullopt;
}

QString Supervisor::launcher()
{
    const QDir root(Paths::pipelineRoot());
    const QString webapp = root.filePath(QStringLiteral("webapp/launch_pipeline.py"));
    if (QFileInfo::exists(webapp))
        return webapp;
    return root.filePath(QStringLiteral("macos/pipeline/launch_pipeline.py"));
}

QCoro::Task<int> Supervisor::status(int port, std::optional<QString> token)
{
    QNetworkRequest request(QUrl(QStringLiteral("http://127.0.0.1:%1/api/status").arg(port)));
    request.setTransferTimeout(3000);
    if (token)
        request.setRawHeader("X-Velko-Token", token->toUtf8());
    QNetworkReply *reply = network()->get(request);
    co_await reply;
    const QVariant code = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    reply->deleteLater();
    co_return code.isValid() ? code.toInt() : 0;
}

void Supervisor::postSync(int port, const QString &token, const QString &path)
{
    LocalHttp::request(quint16(port), "POST", path,
                       {{"X-Velko-Token", token.toUtf8()}, {"Content-Type", "application/json"}},
                       "{}", std::chrono::seconds(2));
}

std::optional<int> Supervisor::parsePort(const QString &line)
{
    static const QRegularExpression announcement(QStringLiteral("http://127\\.0\\.0\\.1:(\\d+)"));
    const QRegularExpressionMatch match = announcement.match(line);
    if (!match.hasMatch())
        return std::nullopt;
    bool ok = false;
    const int port = match.captured(0).split(u':').last().toInt(&ok);
    if (!ok || port < 1 || port > 65535)
        return std::nullopt;
    return port;
}

QList<pid_t> Supervisor::reapOrphans()
{
    const QString pythonHome = Paths::pythonHome();
    const pid_t self = ::getpid();
    QList<pid_t> reaped;
    for (const ProcessTree::Entry &entry : ProcessTree::snapshot()) {
        if (entry.pid == self)
            continue;
        const auto command = ProcessTree::command(entry.pid);
        if (!command || !command->startsWith(pythonHome) ||
            !command->contains(QLatin1String("server.py")))
            continue;
        // An orphan is adopted by init or by the nearest subreaper (often the user's service
        // manager): either way its parent is no longer the application that started it.
        bool leftBehind = entry.ppid == 1;
        if (!leftBehind) {
            const auto parent =
                ProcessTree::environment(entry.pid, QStringLiteral("VELKO_PARENT_PID"));
            bool ok = false;
            const int parentPid = parent ? parent->toInt(&ok) : 0;
            leftBehind = ok && parentPid != entry.ppid;
        }
        if (!leftBehind)
            continue;
        ProcessTree::terminate(entry.pid, leftoverGrace);
        reaped.append(entry.pid);
    }
    return reaped;
}

void Supervisor::setPhase(const Phase &phase)
{
    if (m_phase == phase)
        return;
    m_phase = phase;
    emit phaseChanged(m_phase);
}

void Supervisor::setServerError(const std::optional<QString> &error)
{
    if (m_serverError == error)
        return;
    m_serverError = error;
    emit serverErrorChanged();
}

void Supervisor::writeLog(const QByteArray &bytes)
{
    if (!m_log.isOpen())
        return;
    m_log.write(bytes);
    m_log.flush();
}
