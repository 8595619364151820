#include "client/FakePipeline.h"
#include "core/PipelineClient.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTest>

using namespace std::chrono_literals;
using Outcome = PipelineClient::Outcome;

namespace {

QString describe(const Outcome &outcome)
{
    switch (outcome.kind()) {
    case Outcome::Kind::WorkflowReady:
        return "ready|" + outcome.name();
    case Outcome::Kind::CouldNotRead:
        return "couldNotRead|" + outcome.reason();
    case Outcome::Kind::Failed:
        return "failed|" + outcome.reason();
    case Outcome::Kind::NeedsYou:
        return "needsYou|" + outcome.workflow() + "|" + outcome.question();
    case Outcome::Kind::Notice:
        return "notice|" + outcome.title() + "|" + outcome.body();
    }
    return {};
}

// Every outcome the client publishes, in order.
struct Heard
{
    QStringList outcomes;
    explicit Heard(PipelineClient &client)
    {
        QObject::connect(&client, &PipelineClient::outcomeChanged, &client, [this, &client] {
            if (client.outcome())
                outcomes.append(describe(*client.outcome()));
        });
    }
};

QString summary(const PipelineClient &client)
{
    QStringList schedules;
    for (const auto &s : client.schedules())
        schedules << QString("%1:%2:%3:%4")
                         .arg(s.workflow, s.name)
                         .arg(s.on)
                         .arg(s.nextAt ? s.nextAt->toMSecsSinceEpoch() : -1);
    return QString("phase=%1 stage=%2 captured=%3 starting=%4 startedAt=%5 session=%6 runs=%7 "
                   "paused=%8 schedules=[%9]")
        .arg(client.phase(), client.stage().value_or("-"))
        .arg(client.captured())
        .arg(client.starting())
        .arg(client.startedAt() ? client.startedAt()->toMSecsSinceEpoch() : -1)
        .arg(client.session().value_or("-"))
        .arg(client.activeRuns())
        .arg(client.schedulesPaused())
        .arg(schedules.join(','));
}

void applyAll(PipelineClient &client, const QString &events)
{
    const QJsonArray list = QJsonDocument::fromJson(events.toUtf8()).array();
    QVERIFY2(!list.isEmpty(), qPrintable(events));
    for (const QJsonValue &event : list)
        client.apply(event.toObject());
}

const QString kBundle =
    R"("understood": {}, "bundles": [{"procedure": {"name": "Send invoices"}}])";

} // namespace

class TestPipelineClient : public QObject
{
    Q_OBJECT

private slots:
    void outcomes_data()
    {
        QTest::addColumn<QString>("events");
        QTest::addColumn<QStringList>("heard");

        QTest::newRow("processing to review with a bundle")
            << R"([{"phase": "processing"}, {"phase": "review", )" + kBundle + "}]"
            << QStringList {"ready|Send invoices"};
        QTest::newRow("paused to review, bundle without procedure")
            << R"([{"phase": "paused"}, {"phase": "review", "understood": {}, "bundles": [{}]}])"
            << QStringList {"ready|your workflow"};
        QTest::newRow("understood but no bundles")
            << R"([{"phase": "processing"}, {"phase": "review", "understood": {}, "bundles": []}])"
            << QStringList {"couldNotRead|the model pass did not complete"};
        QTest::newRow("not understood, with its reason") << R"([{"phase": "processing"},
                       {"phase": "review", "bundles": [{}], "understood_error": "too short"}])"
                                                         << QStringList {"couldNotRead|too short"};
        QTest::newRow("bundles that are not objects")
            << R"([{"phase": "processing"}, {"phase": "review", "understood": {}, "bundles": [1]}])"
            << QStringList {"couldNotRead|the model pass did not complete"};
        QTest::newRow("recording to review") << R"([{"phase": "recording"}, {"phase": "review", )" +
                kBundle + "}]" << QStringList {};
        QTest::newRow("paused to idle without error")
            << R"([{"phase": "paused"}, {"phase": "idle", "error": ""}])" << QStringList {};
        QTest::newRow("paused to idle with error")
            << R"([{"phase": "paused"}, {"phase": "idle", "error": "disk full"}])"
            << QStringList {"failed|disk full"};
        QTest::newRow("processing to processing again")
            << R"([{"phase": "processing"}, {"phase": "processing", "error": "x"}])"
            << QStringList {};
        QTest::newRow("notice") << R"([{"kind": "notice", "title": "Heads up", "body": "Soon"}])"
                                << QStringList {"notice|Heads up|Soon"};
        QTest::newRow("notice without texts")
            << R"([{"kind": "notice", "title": 4}])" << QStringList {"notice|Velko AI|"};
        QTest::newRow("bold question with a detail line")
            << R"([{"kind": "state", "runs": {"r1": {"state": "done", "name": "Invoices",
                        "reply": "  **Question:** Which account?\nIt has two.\n"}}}])"
            << QStringList {"needsYou|Invoices|Which account?"};
        QTest::newRow("only the prefix")
            << R"([{"kind": "state", "runs": {"r1": {"state": "done", "reply": "Question:"}}}])"
            << QStringList {"needsYou|Your workflow|"};
        QTest::newRow("a draft")
            << R"([{"kind": "state", "runs": {"r1": {"state": "done", "name": "Mail", "draft": {"to": "a"},
                        "reply": "Question: ignored"}}}])"
            << QStringList {"needsYou|Mail|A draft is waiting for you to approve."};
        QTest::newRow("null draft and plain reply")
            << R"([{"kind": "state", "runs": {"r1": {"state": "done", "draft": null, "reply": "All done."}}}])"
            << QStringList {};
        QTest::newRow("question while still running")
            << R"([{"kind": "state", "runs": {"r1": {"state": "running", "reply": "Question: now?"}}}])"
            << QStringList {};
        QTest::newRow("long question is cut")
            << QString("[{\"kind\": \"state\", \"runs\": {\"r1\": {\"state\": \"done\", \"name\": "
                       "\"W\", "
                       "\"reply\": \"question: %1\"}}}]")
                   .arg(QString("q").repeated(200))
            << QStringList {"needsYou|W|" + QString("q").repeated(160)};
        QTest::newRow("stays in need: heard once")
            << R"([{"kind": "state", "runs": {"r1": {"state": "done", "name": "W", "reply": "Question: a"}}},
                       {"kind": "state", "runs": {"r1": {"state": "done", "name": "W", "reply": "Question: a"}}}])"
            << QStringList {"needsYou|W|a"};
        QTest::newRow("leaves and comes back: heard twice")
            << R"([{"kind": "state", "runs": {"r1": {"state": "done", "name": "W", "reply": "Question: a"}}},
                       {"kind": "state", "runs": {}},
                       {"kind": "state", "runs": {"r1": {"state": "done", "name": "W", "reply": "Question: b"}}}])"
            << QStringList {"needsYou|W|a", "needsYou|W|b"};
        QTest::newRow("runs that are not all objects change nothing")
            << R"([{"kind": "state", "runs": {"r1": {"state": "done", "name": "W", "reply": "Question: a"}}},
                       {"kind": "state", "runs": {"r1": {"state": "done", "name": "W", "reply": "Question: a"},
                                 "r2": 5}},
                       {"kind": "state", "runs": {"r1": {"state": "done", "name": "W", "reply": "Question: a"}}}])"
            << QStringList {"needsYou|W|a"};
    }

    void outcomes()
    {
        QFETCH(QString, events);
        QFETCH(QStringList, heard);
        PipelineClient client;
        Heard spy(client);
        applyAll(client, events);
        QCOMPARE(spy.outcomes, heard);
    }

    void severalRunsInOneEvent()
    {
        PipelineClient client;
        Heard spy(client);
        applyAll(client, R"([{"kind": "state", "runs": {
            "a": {"state": "done", "name": "A", "reply": "Question: one"},
            "b": {"state": "done", "name": "B", "reply": "Question: two"},
            "c": {"state": "running", "name": "C"}}}])");
        spy.outcomes.sort();
        QCOMPARE(spy.outcomes, (QStringList {"needsYou|A|one", "needsYou|B|two"}));
        QCOMPARE(client.activeRuns(), 1);
    }

    void state_data()
    {
        QTest::addColumn<QString>("events");
        QTest::addColumn<QString>("expected");

        const QString idle = "phase=idle stage=- captured=0 starting=0 startedAt=-1 session=- "
                             "runs=0 paused=0 schedules=[]";
        QTest::newRow("stage event sets the stage")
            << R"([{"kind": "stage", "key": "understand"}])"
            << QString(idle).replace("stage=-", "stage=understand");
        QTest::newRow("stage event without key clears it")
            << R"([{"kind": "stage", "key": "understand"}, {"kind": "stage"}])" << idle;
        QTest::newRow("state without stage keeps it")
            << R"([{"kind": "stage", "key": "build"}, {"kind": "state", "phase": "processing"}])"
            << "phase=processing stage=build captured=0 starting=0 startedAt=-1 session=- "
               "runs=0 paused=0 schedules=[]";
        QTest::newRow("unknown kind without phase is ignored")
            << R"([{"kind": "other", "captured": 3}])" << idle;
        QTest::newRow("unknown kind with phase is a state")
            << R"([{"kind": "other", "phase": "installed", "captured": 3, "session": "s1"}])"
            << "phase=installed stage=- captured=3 starting=0 startedAt=-1 session=s1 runs=0 "
               "paused=0 schedules=[]";
        QTest::newRow("wrong types keep the old values")
            << R"([{"phase": "recording", "captured": 4, "session": "s", "stage": "a"},
                       {"kind": "state", "phase": 7, "captured": "9", "session": 1, "stage": [],
                        "schedules_paused": "yes"},
                       {"kind": "state", "captured": 2.5}])"
            << "phase=recording stage=a captured=4 starting=0 startedAt=-1 session=s runs=0 "
               "paused=0 schedules=[]";
        QTest::newRow("starting recording has no start time")
            << R"([{"phase": "recording", "starting": true, "started": 1700000000}])"
            << "phase=recording stage=- captured=0 starting=1 startedAt=-1 session=- runs=0 "
               "paused=0 schedules=[]";
        QTest::newRow("real start sets it, a later event keeps it")
            << R"([{"phase": "recording", "starting": true},
                       {"phase": "recording", "starting": false, "started": 1700000000.25},
                       {"phase": "recording", "captured": 5}])"
            << "phase=recording stage=- captured=5 starting=0 startedAt=1700000000250 "
               "session=- runs=0 paused=0 schedules=[]";
        QTest::newRow("leaving recording clears it")
            << R"([{"phase": "recording", "started": 1700000000},
                       {"phase": "processing", "starting": true, "started": 1700000001}])"
            << "phase=processing stage=- captured=0 starting=0 startedAt=-1 session=- runs=0 "
               "paused=0 schedules=[]";
        QTest::newRow("active runs count installing and running")
            << R"([{"kind": "state", "runs": {"a": {"state": "installing"}, "b": {"state": "running"},
                                 "c": {"state": "done"}, "d": {}}}])"
            << QString(idle).replace("runs=0", "runs=2");
        QTest::newRow("schedules with defaults")
            << R"([{"kind": "state", "schedules": [{"workflow": "w1", "name": "Daily", "on": true,
                                       "next_at": 1700000000},
                                      {"on": "yes", "next_at": "soon"}],
                        "schedules_paused": true}])"
            << QString(idle).replace("paused=0 schedules=[]",
                                     "paused=1 schedules=[w1:Daily:1:1700000000000,"
                                     ":Your workflow:0:-1]");
        QTest::newRow("a malformed schedule list is ignored")
            << R"([{"kind": "state", "schedules": [{"workflow": "w1", "name": "Daily", "on": true}]},
                       {"kind": "state", "schedules": [{"workflow": "w2"}, 3]},
                       {"kind": "state", "schedules": {"workflow": "w3"}}])"
            << QString(idle).replace("schedules=[]", "schedules=[w1:Daily:1:-1]");
        QTest::newRow("an empty schedule list empties it")
            << R"([{"kind": "state", "schedules": [{"workflow": "w1", "name": "Daily", "on": true}]},
                       {"phase": "idle", "schedules": []}])"
            << idle;
    }

    void state()
    {
        QFETCH(QString, events);
        QFETCH(QString, expected);
        PipelineClient client;
        applyAll(client, events);
        QCOMPARE(summary(client), expected);
    }

    void commandsWhileNotConnected()
    {
        PipelineClient client;
        QCOMPARE(QCoro::waitFor(client.post("/api/record/start", {{"display", 1}})),
                 std::optional<QString>("the pipeline is not running"));
        QCOMPARE(QCoro::waitFor(client.json("/api/status", std::nullopt, 3s)), std::nullopt);
    }

    void post_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("error");

        QTest::newRow("accepted") << 200 << QByteArray("{}") << QString();
        QTest::newRow("accepted with any body") << 200 << QByteArray("not json") << QString();
        QTest::newRow("refused with a reason")
            << 409 << QByteArray(R"({"error": "already recording"})") << "already recording";
        QTest::newRow("refused without a reason") << 500 << QByteArray("oops") << "status 500";
        QTest::newRow("refused, error not text")
            << 403 << QByteArray(R"({"error": 5})") << "status 403";
        QTest::newRow("no answer") << 0 << QByteArray() << "no answer from the pipeline";
    }

    void post()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, error);
        FakePipeline pipeline;
        pipeline.setAnswer("/api/record/start", {status, body});
        PipelineClient client;
        client.connectToPipeline(pipeline.port(), "tok");
        const auto result = QCoro::waitFor(client.post("/api/record/start", {{"display", 1}}));
        QCOMPARE(result.value_or(QString()), error);
        QCOMPARE(result.has_value(), !error.isEmpty());

        // Qt resends once on a connection closed without an answer.
        const auto sent = pipeline.requests("/api/record/start");
        QVERIFY(!sent.isEmpty());
        QCOMPARE(sent[0].method, "POST");
        QCOMPARE(sent[0].headers.value("x-velko-token"), "tok");
        QCOMPARE(sent[0].headers.value("content-type"), "application/json");
        QCOMPARE(QJsonDocument::fromJson(sent[0].body).object(), QJsonObject({{"display", 1}}));
    }

    void postWithEmptyBodySendsAnEmptyObject()
    {
        FakePipeline pipeline;
        pipeline.setAnswer("/api/record/stop", {});
        PipelineClient client;
        client.connectToPipeline(pipeline.port(), "tok");
        QCOMPARE(QCoro::waitFor(client.post("/api/record/stop")), std::nullopt);
        QCOMPARE(pipeline.requests("/api/record/stop").value(0).body, "{}");
    }

    void json_data()
    {
        QTest::addColumn<bool>("withBody");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<bool>("expectObject");

        QTest::newRow("GET object") << false << 200 << QByteArray(R"({"a": 1})") << true;
        QTest::newRow("POST object") << true << 200 << QByteArray(R"({"a": 1})") << true;
        QTest::newRow("a list is not an object") << false << 200 << QByteArray("[1]") << false;
        QTest::newRow("refused") << true << 500 << QByteArray(R"({"a": 1})") << false;
        QTest::newRow("no answer") << true << 0 << QByteArray() << false;
    }

    void json()
    {
        QFETCH(bool, withBody);
        QFETCH(int, status);
        QFETCH(QByteArray, answer);
        QFETCH(bool, expectObject);
        FakePipeline pipeline;
        pipeline.setAnswer("/api/schedules/tick", {status, answer});
        PipelineClient client;
        client.connectToPipeline(pipeline.port(), "tok");
        const std::optional<QJsonObject> body =
            withBody ? std::optional(QJsonObject {{"reason", "wake"}}) : std::nullopt;
        const auto result = QCoro::waitFor(client.json("/api/schedules/tick", body, 15s));
        QCOMPARE(result.has_value(), expectObject);
        if (expectObject)
            QCOMPARE(*result, QJsonObject({{"a", 1}}));
        const auto sent = pipeline.requests("/api/schedules/tick");
        QVERIFY(!sent.isEmpty());
        QCOMPARE(sent[0].method, withBody ? "POST" : "GET");
        if (withBody)
            QCOMPARE(sent[0].body, R"({"reason":"wake"})");
    }

    void lineEndings_data()
    {
        QTest::addColumn<QByteArrayList>("chunks");
        QTest::addColumn<QList<int>>("captured");

        QTest::newRow("line feeds")
            << QByteArrayList {"data: {\"kind\": \"state\", \"captured\": 1}\ndata: {\"phase\": "
                               "\"idle\", \"captured\": 2}\n"}
            << QList<int> {1, 2};
        QTest::newRow("carriage returns")
            << QByteArrayList {"data: {\"kind\": \"state\", \"captured\": 1}\rdata: {\"phase\": "
                               "\"idle\", \"captured\": 2}\r"}
            << QList<int> {1, 2};
        QTest::newRow("both, split between writes")
            << QByteArrayList {"data: {\"kind\": \"state\", \"captured\": 1}\r", "\ndata: {\"captu",
                               "red\": 2, \"phase\": \"idle\"}\r\n"}
            << QList<int> {1, 2};
        QTest::newRow("blanks, no space, comments and junk")
            << QByteArrayList {"data:\t {\"kind\": \"state\", \"captured\": 1} \t\n: "
                               "keep-alive\n\nevent: x\n"
                               "data: not json\ndata: "
                               "[3]\ndata:{\"captured\":4,\"kind\":\"state\"}\n"
                               "id: {\"captured\": 5}\n"}
            << QList<int> {1, 4};
        QTest::newRow("UTF-8 across a write")
            << QByteArrayList {"data: {\"phase\": \"recording\", \"session\": \"\xc3",
                               "\xa9\", \"captured\": 7}\n"}
            << QList<int> {7};
    }

    void lineEndings()
    {
        QFETCH(QByteArrayList, chunks);
        QFETCH(QList<int>, captured);
        FakePipeline pipeline;
        PipelineClient client;
        QList<int> seen;
        connect(&client, &PipelineClient::capturedChanged, this, [&](int n) { seen << n; });
        client.connectToPipeline(pipeline.port(), "tok");
        QTRY_VERIFY(client.connected() && pipeline.openStreams() == 1);
        QTRY_COMPARE(pipeline.requests("/api/status").size(), 1);
        for (const QByteArray &chunk : chunks) {
            pipeline.send(chunk);
            QTest::qWait(30);
        }
        QTRY_COMPARE(seen, captured);
        if (QTest::currentDataTag() == QByteArray("UTF-8 across a write"))
            QCOMPARE(client.session(), std::optional<QString>(QString::fromUtf8("\xc3\xa9")));
    }

    void streamCarriesTheTokenAndAppliesTheSnapshot()
    {
        FakePipeline pipeline;
        // Already in review after processing: the snapshot brings no outcome.
        pipeline.setState(QJsonDocument::fromJson(
                              (R"({"phase": "review", "stage": "done", )" + kBundle + "}").toUtf8())
                              .object());
        PipelineClient client;
        Heard heard(client);
        client.connectToPipeline(pipeline.port(), "secret");
        QTRY_COMPARE(client.phase(), "review");
        QVERIFY(client.connected());
        QCOMPARE(client.stage(), std::optional<QString>("done"));
        QCOMPARE(pipeline.requests("/api/stream").value(0).headers.value("x-velko-token"),
                 "secret");
        QCOMPARE(pipeline.requests("/api/status").value(0).headers.value("x-velko-token"),
                 "secret");

        // The same change seen on the stream is heard.
        pipeline.sendEvent(QJsonObject {{"phase", "processing"}});
        pipeline.send(("data: {\"phase\": \"review\", " + kBundle + "}\n").toUtf8());
        QTRY_COMPARE(heard.outcomes, QStringList {"ready|Send invoices"});
    }

    void reconnectsAfterTheStreamEnds()
    {
        FakePipeline pipeline;
        PipelineClient client;
        Heard heard(client);
        client.connectToPipeline(pipeline.port(), "tok");
        QTRY_VERIFY(pipeline.openStreams() == 1 && client.connected());
        QTRY_COMPARE(pipeline.requests("/api/status").size(), 1);
        pipeline.sendEvent(QJsonObject {{"phase", "processing"}});
        QTRY_COMPARE(client.phase(), "processing");

        // The pipeline finishes while the stream is down: no outcome for a change not seen.
        pipeline.dropStreams();
        pipeline.setState(QJsonObject {{"phase", "idle"}, {"error", "it broke"}});
        QTRY_COMPARE_WITH_TIMEOUT(pipeline.streamsOpened(), 2, 3000);
        QTRY_COMPARE(client.phase(), "idle");
        QVERIFY(client.connected());
        QCOMPARE(pipeline.requests("/api/status").size(), 2);
        QVERIFY(heard.outcomes.isEmpty());
    }

    void retriesARefusedStreamEverySecond()
    {
        FakePipeline pipeline;
        pipeline.setStreamStatus(503);
        PipelineClient client;
        QSignalSpy connected(&client, &PipelineClient::connectedChanged);
        QElapsedTimer timer;
        timer.start();
        client.connectToPipeline(pipeline.port(), "tok");
        QTRY_COMPARE_WITH_TIMEOUT(pipeline.streamsOpened(), 3, 4000);
        // Two waits of one second each, no backoff.
        QVERIFY2(timer.elapsed() >= 1900 && timer.elapsed() < 3500,
                 qPrintable(QString::number(timer.elapsed())));
        QVERIFY(connected.isEmpty());
        QVERIFY(pipeline.requests("/api/status").isEmpty());

        pipeline.setStreamStatus(200);
        QTRY_VERIFY_WITH_TIMEOUT(client.connected(), 3000);
    }

    void connectingTwiceToOnePortKeepsTheStream()
    {
        FakePipeline pipeline;
        PipelineClient client;
        client.connectToPipeline(pipeline.port(), "tok");
        QTRY_VERIFY(client.connected());
        client.connectToPipeline(pipeline.port(), "other");
        QTest::qWait(300);
        QCOMPARE(pipeline.streamsOpened(), 1);
    }

    void disconnectEndsTheStream()
    {
        FakePipeline pipeline;
        PipelineClient client;
        client.connectToPipeline(pipeline.port(), "tok");
        QTRY_VERIFY(client.connected() && pipeline.openStreams() == 1);
        pipeline.sendEvent(QJsonObject {{"phase", "processing"}, {"captured", 3}});
        QTRY_COMPARE(client.captured(), 3);

        client.disconnectFromPipeline();
        QVERIFY(!client.connected());
        QCOMPARE(client.port(), 0);
        QCOMPARE(client.phase(), "processing"); // the rest keeps its last values
        QCOMPARE(QCoro::waitFor(client.post("/api/record/stop")),
                 std::optional<QString>("the pipeline is not running"));
        QTRY_COMPARE(pipeline.openStreams(), 0);
        QTest::qWait(1500);
        QCOMPARE(pipeline.streamsOpened(), 1);
    }

    void disconnectDuringTheRetryWait()
    {
        FakePipeline pipeline;
        pipeline.setStreamStatus(500);
        PipelineClient client;
        client.connectToPipeline(pipeline.port(), "tok");
        QTRY_COMPARE(pipeline.streamsOpened(), 1);
        QTest::qWait(100);
        client.disconnectFromPipeline();
        QTest::qWait(1500);
        QCOMPARE(pipeline.streamsOpened(), 1);
    }

    void anotherPortReplacesTheStream()
    {
        FakePipeline first;
        FakePipeline second;
        PipelineClient client;
        client.connectToPipeline(first.port(), "tok");
        QTRY_VERIFY(first.openStreams() == 1 && client.connected());
        client.connectToPipeline(second.port(), "tok");
        QTRY_COMPARE(second.openStreams(), 1);
        QTRY_COMPARE(first.openStreams(), 0);
        first.sendEvent(QJsonObject {{"phase", "recording"}});
        second.sendEvent(QJsonObject {{"phase", "processing"}});
        QTRY_COMPARE(client.phase(), "processing");
        QTest::qWait(100);
        QCOMPARE(client.phase(), "processing");
    }

    void deletedWhileStreaming()
    {
        FakePipeline pipeline;
        auto *client = new PipelineClient;
        client->connectToPipeline(pipeline.port(), "tok");
        QTRY_VERIFY(client->connected() && pipeline.openStreams() == 1);
        delete client;
        QTRY_COMPARE(pipeline.openStreams(), 0);
        QTest::qWait(1200);
        QCOMPARE(pipeline.streamsOpened(), 1);
    }
};

QTEST_GUILESS_MAIN(TestPipelineClient)
#include "tst_pipelineclient.moc"
