#pragma once

#include <chrono>
#include <memory>
#include <optional>

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QFuture>
#include <QList>
#include <QMap>
#include <QObject>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <qcoro/qcorotask.h>

#include <sys/types.h>

class ChildProcess;
class VelkoServer;

// The pipeline's supervision state.
struct SupervisorPhase
{
    Q_GADGET
    Q_PROPERTY(Kind kind MEMBER kind)
    Q_PROPERTY(int port MEMBER port)
    Q_PROPERTY(QString reason MEMBER reason)

public:
    enum Kind { Stopped, Starting, Running, Crashed };
    Q_ENUM(Kind)

    Kind kind = Stopped;
    int port = 0; // Running only
    QString reason; // Crashed only

    static SupervisorPhase stopped() { return {}; }
    static SupervisorPhase starting() { return {Starting, 0, {}}; }
    static SupervisorPhase running(int port) { return {Running, port, {}}; }
    static SupervisorPhase crashed(const QString &reason) { return {Crashed, 0, reason}; }

    bool operator==(const SupervisorPhase &) const = default;
};

// Owns the pipeline server: launches it with its environment, learns its port from the
// announcement line "http://127.0.0.1:{port}" on its output, confirms it with /api/status,
// restarts it after unplanned exits (at most three within two minutes), stops its whole process
// tree, and in built-in mode runs the built-in model server before it. Main thread only.
class Supervisor : public QObject
{
    Q_OBJECT
    Q_PROPERTY(SupervisorPhase phase READ phase NOTIFY phaseChanged)
    Q_PROPERTY(QStringList lastLines READ lastLines NOTIFY lastLinesChanged)
    Q_PROPERTY(std::optional<QString> serverError READ serverError NOTIFY serverErrorChanged)

public:
    using Phase = SupervisorPhase;

    // The figures of the supervision; tests shorten them.
    struct Limits
    {
        int maxRestarts = 3;
        std::chrono::milliseconds restartWindow = std::chrono::seconds(120);
        std::chrono::milliseconds firstRestartDelay = std::chrono::seconds(1); // then doubled
        int confirmAttempts = 50;
        std::chrono::milliseconds confirmInterval = std::chrono::milliseconds(100);
        std::chrono::milliseconds stopGrace = std::chrono::seconds(5);
        std::chrono::milliseconds loginPathTimeout = std::chrono::seconds(5);
        std::chrono::milliseconds serverTimeout = std::chrono::seconds(20);
    };

    static constexpr int maxLastLines = 40;

    explicit Supervisor(QObject *parent = nullptr);
    ~Supervisor() override;

    Phase phase() const { return m_phase; }
    QStringList lastLines() const { return m_lastLines; }
    std::optional<QString> serverError() const { return m_serverError; }
    const QString &token() const { return m_token; }
    VelkoServer &server() { return *m_server; }
    // The pipeline's process id, 0 without one.
    pid_t pid() const;

    // Entries added to the pipeline's environment; they take effect at the next launch.
    void setExtraEnv(const QString &name, const QString &value) { m_extraEnv.insert(name, value); }
    const QMap<QString, QString> &extraEnv() const { return m_extraEnv; }
    // Unplanned exits count against the restart limit; the owner forgets them before a stop and
    // start of its own.
    void clearRestarts() { m_restarts.clear(); }

    void setLimits(const Limits &limits) { m_limits = limits; }
    const Limits &limits() const { return m_limits; }

    // Begins supervision; does nothing while a pipeline runs or a launch is under way.
    void start();
    // Stops the pipeline's tree and the built-in server; blocks; returns the survivors.
    QList<pid_t> stop();

    // The pipeline's environment for a launch on `port`.
    QProcessEnvironment environment(int port) const;

    static std::optional<quint16> freePort();
    static QString launcher();
    // GET /api/status on 127.0.0.1 with a 3-second limit: the status code, 0 without an answer.
    static QCoro::Task<int> status(int port, std::optional<QString> token);
    // POST `path` with "{}" and waits at most 2 seconds; the answer is ignored.
    static void postSync(int port, const QString &token, const QString &path);
    static std::optional<int> parsePort(const QString &line);
    // Ends pipelines that an earlier run left behind; returns their ids.
    static QList<pid_t> reapOrphans();

signals:
    void phaseChanged(const SupervisorPhase &phase);
    void lastLinesChanged();
    void serverErrorChanged();

private:
    QCoro::Task<> begin(quint64 run);
    // The built-in server's blocking start, on a thread of its own.
    QFuture<std::optional<QString>> startServer() const;
    std::optional<QString> launch();
    void consume(quint64 generation, const QByteArray &raw);
    void appendLines(const QStringList &lines);
    void exited(quint64 generation, int status);
    QCoro::Task<> confirm(int port, quint64 generation);
    void scheduleRestart(std::chrono::milliseconds delay);
    void setPhase(const Phase &phase);
    void setServerError(const std::optional<QString> &error);
    void writeLog(const QByteArray &bytes);

    Phase m_phase;
    QStringList m_lastLines;
    std::optional<QString> m_serverError;
    const QString m_token;
    std::unique_ptr<ChildProcess> m_process;
    bool m_stopping = false;
    // A launch is under way or scheduled: it counts as a running pipeline for start().
    bool m_launchPending = false;
    std::optional<QString> m_loginPath;
    QMap<QString, QString> m_extraEnv;
    QList<QDateTime> m_restarts;
    QFile m_log;
    QByteArray m_partial;
    std::shared_ptr<VelkoServer> m_server;
    Limits m_limits;
    quint64 m_generation = 0; // one per launched process
    quint64 m_run = 0; // one per start(); stop() ends the run's pending steps
};

Q_DECLARE_METATYPE(SupervisorPhase)
