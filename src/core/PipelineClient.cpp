#include "core/PipelineClient.h"

#include "core/LocalHttp.h"
#include "core/SignalWait.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QTimer>

#include <QRegularExpression>

#include <algorithm>
#include <cmath>
#include <limits>

using namespace std::chrono_literals;

struct PipelineClient::Stream
{
    bool cancelled = false;
    QPointer<QNetworkReply> reply;
    // Deleted later: the stream may end inside the timer's own signal.
    QTimer *retry = new QTimer;

    Stream()
    {
        retry->setSingleShot(true);
        retry->setInterval(1s);
    }
    ~Stream() { retry->deleteLater(); }
    Stream(const Stream &) = delete;
    Stream &operator=(const Stream &) = delete;

    void cancel()
    {
        cancelled = true;
        if (reply)
            reply->abort();
        if (retry->isActive())
            retry->start(0); // ends the wait now; the loop then sees the flag
    }
};

namespace {

const QString kRecording = QStringLiteral("recording");

std::optional<QString> text(const QJsonObject &object, const QString &key)
{
    const QJsonValue value = object.value(key);
    if (!value.isString())
        return std::nullopt;
    return value.toString();
}

std::optional<int> integer(const QJsonObject &object, const QString &key)
{
    const QJsonValue value = object.value(key);
    if (!value.isDouble())
        return std::nullopt;
    const double number = value.toDouble();
    if (number != std::floor(number) || std::abs(number) > std::numeric_limits<int>::max())
        return std::nullopt;
    return int(number);
}

QDateTime instant(double seconds)
{
    return QDateTime::fromMSecsSinceEpoch(qint64(std::llround(seconds * 1000)), Qt::UTC);
}

bool allObjects(const QJsonArray &list)
{
    return std::all_of(list.begin(), list.end(), [](const QJsonValue &v) { return v.isObject(); });
}

// The reply text trimmed and without markup asterisks.
QString plainReply(const QJsonObject &run)
{
    return run.value(QStringLiteral("reply")).toString().trimmed().remove(QLatin1Char('*'));
}

bool hasDraft(const QJsonObject &run)
{
    const QJsonValue draft = run.value(QStringLiteral("draft"));
    return !draft.isUndefined() && !draft.isNull();
}

const QString kQuestionPrefix = QStringLiteral("question:");

} // namespace

PipelineClient::PipelineClient(QObject *parent)
    : QObject(parent)
    , m_manager(new QNetworkAccessManager(this))
{
    // Only ever the loopback interface: no proxy from the environment may stand in between.
    m_manager->setProxy(QNetworkProxy::NoProxy);
}

PipelineClient::~PipelineClient()
{
    cancelStream();
}

void PipelineClient::setOutcome(const std::optional<Outcome> &outcome)
{
    m_outcome = outcome;
    emit outcomeChanged();
}

void PipelineClient::connectToPipeline(int port, const QString &token)
{
    if (port == m_port && m_stream)
        return;
    m_port = port;
    m_token = token;
    cancelStream();
    m_stream = std::make_shared<Stream>();
    streamLoop(QPointer(this), m_stream);
}

void PipelineClient::disconnectFromPipeline()
{
    cancelStream();
    setConnected(false);
    m_port = 0;
}

void PipelineClient::cancelStream()
{
    if (!m_stream)
        return;
    // Dropped first: the loop may run to its end inside cancel().
    const std::shared_ptr<Stream> stream = std::exchange(m_stream, nullptr);
    stream->cancel();
}

void PipelineClient::setConnected(bool connected)
{
    if (m_connected == connected)
        return;
    m_connected = connected;
    emit connectedChanged(connected);
}

QCoro::Task<> PipelineClient::streamLoop(QPointer<PipelineClient> self,
                                         std::shared_ptr<Stream> stream)
{
    while (self && !stream->cancelled) {
        QNetworkReply *reply = self->m_manager->get(
            LocalHttp::prepare(self->m_port, QStringLiteral("/api/stream"), self->m_token, 3600s));
        stream->reply = reply;
        bool failed = false;

        // Headers first: a stream may stay silent for a long time after them.
        if (!reply->isFinished()) {
            SignalWait headers([reply](const SignalWait::Wake &wake) {
                return QList {QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, wake),
                              QObject::connect(reply, &QNetworkReply::readyRead, reply, wake),
                              QObject::connect(reply, &QNetworkReply::finished, reply, wake),
                              QObject::connect(reply, &QObject::destroyed, reply, wake)};
            });
            co_await headers;
        }
        if (!self || stream->cancelled || !stream->reply)
            break;
        const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        if (!status.isValid() || status.toInt() != 200) {
            failed = true;
        } else {
            self->setConnected(true);
            const std::optional<QJsonObject> snapshot =
                co_await self->json(QStringLiteral("/api/status"), std::nullopt, 3s);
            if (!self || stream->cancelled || !stream->reply)
                break;
            if (snapshot && snapshot->value(QStringLiteral("state")).isObject()) {
                QJsonObject state = snapshot->value(QStringLiteral("state")).toObject();
                state.insert(QStringLiteral("kind"), QStringLiteral("state"));
                if (const auto phase = text(state, QStringLiteral("phase")))
                    self->m_lastPhase = *phase;
                self->apply(state);
                if (!self || stream->cancelled)
                    break;
            }

            QByteArray buffer;
            bool afterCarriageReturn = false; // a line feed right after it ends no second line
            bool stop = false;
            while (!stop) {
                if (!stream->reply)
                    break;
                buffer += reply->readAll();
                qsizetype start = 0;
                for (qsizetype i = 0; i < buffer.size() && !stop; ++i) {
                    const char c = buffer.at(i);
                    if (c != '\n' && c != '\r')
                        continue;
                    const bool skip = afterCarriageReturn && c == '\n' && i == start;
                    afterCarriageReturn = c == '\r';
                    if (!skip) {
                        const QByteArray line = buffer.mid(start, i - start);
                        if (line.startsWith("data:")) {
                            QJsonParseError error;
                            const QJsonDocument event =
                                QJsonDocument::fromJson(line.mid(5).trimmed(), &error);
                            if (error.error == QJsonParseError::NoError && event.isObject())
                                self->apply(event.object());
                            stop = !self || stream->cancelled;
                        }
                    }
                    start = i + 1;
                }
                buffer.remove(0, start);
                if (stop || !stream->reply || reply->isFinished())
                    break;
                SignalWait moreData([reply](const SignalWait::Wake &wake) {
                    return QList {QObject::connect(reply, &QNetworkReply::readyRead, reply, wake),
                                  QObject::connect(reply, &QNetworkReply::finished, reply, wake),
                                  QObject::connect(reply, &QObject::destroyed, reply, wake)};
                });
                co_await moreData;
                stop = !self || stream->cancelled;
            }
            if (stop || !self || stream->cancelled || !stream->reply)
                break;
            failed = reply->error() != QNetworkReply::NoError;
        }
        stream->reply = nullptr;
        reply->deleteLater();
        if (failed)
            self->setConnected(false);
        co_await retryWait(stream);
    }
    if (stream->reply) {
        stream->reply->abort();
        stream->reply->deleteLater();
    }
}

QCoro::Task<> PipelineClient::retryWait(std::shared_ptr<Stream> stream)
{
    if (stream->cancelled)
        co_return;
    QTimer *timer = stream->retry;
    timer->start();
    SignalWait retryTimer([timer](const SignalWait::Wake &wake) {
        return QList {QObject::connect(timer, &QTimer::timeout, timer, wake)};
    });
    co_await retryTimer;
}

QCoro::Task<std::optional<QJsonObject>> PipelineClient::json(QString path,
                                                             std::optional<QJsonObject> body,
                                                             std::chrono::milliseconds timeout)
{
    if (m_port < 1)
        co_return std::nullopt;
    LocalHttp::Answer answer;
    if (body)
        answer =
            co_await LocalHttp::post(m_manager, m_port, path, m_token,
                                     QJsonDocument(*body).toJson(QJsonDocument::Compact), timeout);
    else
        answer = co_await LocalHttp::get(m_manager, m_port, path, m_token, timeout);
    // `this` may be gone by now: only the answer is used from here on.
    if (answer.status != 200)
        co_return std::nullopt;
    co_return answer.object();
}

QCoro::Task<std::optional<QString>> PipelineClient::post(QString path, QJsonObject body)
{
    if (m_port < 1)
        co_return QStringLiteral("the pipeline is not running");
    const LocalHttp::Answer answer = co_await LocalHttp::post(
        m_manager, m_port, path, m_token, QJsonDocument(body).toJson(QJsonDocument::Compact), 3s);
    if (answer.status == 0)
        co_return QStringLiteral("no answer from the pipeline");
    if (answer.status == 200)
        co_return std::nullopt;
    if (const auto object = answer.object()) {
        if (const auto error = text(*object, QStringLiteral("error")))
            co_return *error;
    }
    co_return QStringLiteral("status %1").arg(answer.status);
}

void PipelineClient::apply(const QJsonObject &event)
{
    const QString kind = event.value(QStringLiteral("kind")).toString();
    if (kind == QLatin1String("stage")) {
        const std::optional<QString> key = text(event, QStringLiteral("key"));
        if (m_stage != key) {
            m_stage = key;
            emit stageChanged();
        }
        return;
    }
    if (kind == QLatin1String("notice")) {
        setOutcome(Outcome::notice(text(event, QStringLiteral("title")).value_or("Velko AI"),
                                   text(event, QStringLiteral("body")).value_or(QString())));
        return;
    }
    if (kind != QLatin1String("state") && !event.contains(QStringLiteral("phase")))
        return;

    if (const auto phase = text(event, QStringLiteral("phase")); phase && *phase != m_phase) {
        m_phase = *phase;
        emit phaseChanged(m_phase);
    }
    if (const auto captured = integer(event, QStringLiteral("captured"));
        captured && *captured != m_captured) {
        m_captured = *captured;
        emit capturedChanged(m_captured);
    }
    if (const auto session = text(event, QStringLiteral("session"));
        session && session != m_session) {
        m_session = session;
        emit sessionChanged();
    }
    if (const auto stage = text(event, QStringLiteral("stage")); stage && stage != m_stage) {
        m_stage = stage;
        emit stageChanged();
    }

    const bool recording = m_phase == kRecording;
    const bool starting = recording && event.value(QStringLiteral("starting")).toBool(false);
    if (starting != m_starting) {
        m_starting = starting;
        emit startingChanged(starting);
    }
    std::optional<QDateTime> startedAt = m_startedAt;
    if (recording && !starting) {
        if (const QJsonValue started = event.value(QStringLiteral("started")); started.isDouble())
            startedAt = instant(started.toDouble());
    } else {
        startedAt.reset();
    }
    if (startedAt != m_startedAt) {
        m_startedAt = startedAt;
        emit startedAtChanged();
    }

    if (m_lastPhase != m_phase) {
        if (const auto next = outcome(m_lastPhase, m_phase, event))
            setOutcome(next);
        m_lastPhase = m_phase;
    }

    if (const QJsonValue list = event.value(QStringLiteral("schedules"));
        list.isArray() && allObjects(list.toArray())) {
        QList<Schedule> schedules;
        for (const QJsonValue &entry : list.toArray()) {
            const QJsonObject object = entry.toObject();
            Schedule schedule;
            schedule.workflow = text(object, QStringLiteral("workflow")).value_or(QString());
            schedule.name = text(object, QStringLiteral("name")).value_or("Your workflow");
            schedule.on = object.value(QStringLiteral("on")).toBool(false);
            if (const QJsonValue next = object.value(QStringLiteral("next_at")); next.isDouble())
                schedule.nextAt = instant(next.toDouble());
            schedules.append(schedule);
        }
        if (schedules != m_schedules) {
            m_schedules = schedules;
            emit schedulesChanged(m_schedules);
        }
    }

    if (const QJsonValue paused = event.value(QStringLiteral("schedules_paused"));
        paused.isBool() && paused.toBool() != m_schedulesPaused) {
        m_schedulesPaused = paused.toBool();
        emit schedulesPausedChanged(m_schedulesPaused);
    }

    if (const QJsonValue runs = event.value(QStringLiteral("runs")); runs.isObject())
        applyRuns(runs.toObject());
}

void PipelineClient::applyRuns(const QJsonObject &runs)
{
    for (const QJsonValue &run : runs) {
        if (!run.isObject())
            return;
    }
    int active = 0;
    for (const QJsonValue &run : runs) {
        const QString state = run.toObject().value(QStringLiteral("state")).toString();
        if (state == QLatin1String("installing") || state == QLatin1String("running"))
            ++active;
    }
    if (active != m_activeRuns) {
        m_activeRuns = active;
        emit activeRunsChanged(active);
    }

    QSet<QString> needing;
    QList<Outcome> fresh;
    for (auto it = runs.begin(); it != runs.end(); ++it) {
        const QJsonObject run = it.value().toObject();
        if (!needsYou(run))
            continue;
        needing.insert(it.key());
        if (m_needingYou.contains(it.key()))
            continue;
        const QString workflow = text(run, QStringLiteral("name")).value_or("Your workflow");
        const QString question = hasDraft(run)
            ? QStringLiteral("A draft is waiting for you to approve.")
            : questionLine(run).left(160);
        fresh.append(Outcome::needsYou(workflow, question));
    }
    m_needingYou = needing;
    for (const Outcome &outcome : std::as_const(fresh))
        setOutcome(outcome);
}

std::optional<PipelineClient::Outcome>
PipelineClient::outcome(const QString &from, const QString &to, const QJsonObject &state)
{
    if (from != QLatin1String("processing") && from != QLatin1String("paused"))
        return std::nullopt;
    if (to == QLatin1String("review")) {
        const QJsonValue bundles = state.value(QStringLiteral("bundles"));
        if (state.value(QStringLiteral("understood")).isObject() && bundles.isArray() &&
            !bundles.toArray().isEmpty() && allObjects(bundles.toArray())) {
            const QJsonObject procedure =
                bundles.toArray().first().toObject().value(QStringLiteral("procedure")).toObject();
            return Outcome::workflowReady(
                text(procedure, QStringLiteral("name")).value_or("your workflow"));
        }
        return Outcome::couldNotRead(text(state, QStringLiteral("understood_error"))
                                         .value_or("the model pass did not complete"));
    }
    if (to == QLatin1String("idle")) {
        const QString error = state.value(QStringLiteral("error")).toString();
        if (!error.isEmpty())
            return Outcome::failed(error);
    }
    return std::nullopt;
}

bool PipelineClient::needsYou(const QJsonObject &run)
{
    if (run.value(QStringLiteral("state")).toString() != QLatin1String("done"))
        return false;
    return hasDraft(run) || plainReply(run).toLower().startsWith(kQuestionPrefix);
}

QString PipelineClient::questionLine(const QJsonObject &run)
{
    const QString reply = plainReply(run);
    if (!reply.toLower().startsWith(kQuestionPrefix))
        return {};
    const QStringList pieces =
        reply.mid(kQuestionPrefix.size())
            .trimmed()
            .split(QRegularExpression(QStringLiteral("[\r\n]")), Qt::SkipEmptyParts);
    return pieces.isEmpty() ? QString() : pieces.first();
}
