#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <memory>
#include <optional>

class QNetworkAccessManager;

// The application's view of the running pipeline: holds its event stream "/api/stream" open
// (reconnecting every second), turns each event into observable properties and outcomes, and
// sends commands to it. Lives on the main thread.
class PipelineClient : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString phase READ phase NOTIFY phaseChanged)
    Q_PROPERTY(std::optional<QString> stage READ stage NOTIFY stageChanged)
    Q_PROPERTY(int captured READ captured NOTIFY capturedChanged)
    Q_PROPERTY(std::optional<QDateTime> startedAt READ startedAt NOTIFY startedAtChanged)
    Q_PROPERTY(bool starting READ starting NOTIFY startingChanged)
    Q_PROPERTY(std::optional<QString> session READ session NOTIFY sessionChanged)
    Q_PROPERTY(bool connected READ connected NOTIFY connectedChanged)
    Q_PROPERTY(bool schedulesPaused READ schedulesPaused NOTIFY schedulesPausedChanged)
    Q_PROPERTY(int activeRuns READ activeRuns NOTIFY activeRunsChanged)

public:
    // A moment the user must hear about.
    class Outcome
    {
    public:
        enum class Kind { WorkflowReady, CouldNotRead, Failed, NeedsYou, Notice };

        static Outcome workflowReady(const QString &name) { return {Kind::WorkflowReady, name}; }
        static Outcome couldNotRead(const QString &reason) { return {Kind::CouldNotRead, reason}; }
        static Outcome failed(const QString &reason) { return {Kind::Failed, reason}; }
        static Outcome needsYou(const QString &workflow, const QString &question)
        {
            return {Kind::NeedsYou, workflow, question};
        }
        static Outcome notice(const QString &title, const QString &body)
        {
            return {Kind::Notice, title, body};
        }

        Kind kind() const { return m_kind; }
        const QString &name() const { return m_first; } // workflowReady
        const QString &reason() const { return m_first; } // couldNotRead, failed
        const QString &workflow() const { return m_first; } // needsYou
        const QString &question() const { return m_second; }
        const QString &title() const { return m_first; } // notice
        const QString &body() const { return m_second; }

        bool operator==(const Outcome &) const = default;

    private:
        Outcome(Kind kind, QString first, QString second = {})
            : m_kind(kind)
            , m_first(std::move(first))
            , m_second(std::move(second))
        { }

        Kind m_kind;
        QString m_first;
        QString m_second;
    };

    struct Schedule
    {
        QString workflow;
        QString name;
        bool on = false;
        std::optional<QDateTime> nextAt;

        bool operator==(const Schedule &) const = default;
    };

    explicit PipelineClient(QObject *parent = nullptr);
    ~PipelineClient() override;

    QString phase() const { return m_phase; }
    std::optional<QString> stage() const { return m_stage; }
    int captured() const { return m_captured; }
    std::optional<QDateTime> startedAt() const { return m_startedAt; }
    bool starting() const { return m_starting; }
    std::optional<QString> session() const { return m_session; }
    bool connected() const { return m_connected; }
    std::optional<Outcome> outcome() const { return m_outcome; }
    QList<Schedule> schedules() const { return m_schedules; }
    bool schedulesPaused() const { return m_schedulesPaused; }
    int activeRuns() const { return m_activeRuns; }
    int port() const { return m_port; }

    // Every assignment notifies, so that two equal outcomes in a row are both heard.
    void setOutcome(const std::optional<Outcome> &outcome);

    // Follows the pipeline on this port; a second call for the same port is ignored.
    void connectToPipeline(int port, const QString &token);
    void disconnectFromPipeline();

    // One request: POST with `body` when given, else GET. None on any failure or a non-200 status.
    QCoro::Task<std::optional<QJsonObject>> json(QString path, std::optional<QJsonObject> body,
                                                 std::chrono::milliseconds timeout);
    // One command: none on success, else the error text for the user.
    QCoro::Task<std::optional<QString>> post(QString path, QJsonObject body = {});

    // Applies one event of the stream (or a snapshot whose kind is "state").
    void apply(const QJsonObject &event);

    static std::optional<Outcome> outcome(const QString &from, const QString &to,
                                          const QJsonObject &state);
    static bool needsYou(const QJsonObject &run);
    static QString questionLine(const QJsonObject &run);

signals:
    void phaseChanged(const QString &phase);
    void stageChanged();
    void capturedChanged(int captured);
    void startedAtChanged();
    void startingChanged(bool starting);
    void sessionChanged();
    void connectedChanged(bool connected);
    void outcomeChanged();
    void schedulesChanged(const QList<PipelineClient::Schedule> &schedules);
    void schedulesPausedChanged(bool paused);
    void activeRunsChanged(int count);

private:
    struct Stream;

    static QCoro::Task<> streamLoop(QPointer<PipelineClient> self, std::shared_ptr<Stream> stream);
    static QCoro::Task<> retryWait(std::shared_ptr<Stream> stream);
    void cancelStream();
    void setConnected(bool connected);
    void applyRuns(const QJsonObject &runs);

    QNetworkAccessManager *m_manager;
    std::shared_ptr<Stream> m_stream;
    int m_port = 0;
    QString m_token;
    QString m_lastPhase = QStringLiteral("idle");
    QSet<QString> m_needingYou;

    QString m_phase = QStringLiteral("idle");
    std::optional<QString> m_stage;
    int m_captured = 0;
    std::optional<QDateTime> m_startedAt;
    bool m_starting = false;
    std::optional<QString> m_session;
    bool m_connected = false;
    std::optional<Outcome> m_outcome;
    QList<Schedule> m_schedules;
    bool m_schedulesPaused = false;
    int m_activeRuns = 0;
};
