#include "core/Paths.h"
#include "core/ProcessTree.h"
#include "core/Supervisor.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QLocalSocket>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>

#include <qcoro/qcorotask.h>

#include "Sandbox.h"

using namespace std::chrono_literals;

namespace {

struct Answer
{
    int status = 0;
    QByteArray body;
    QByteArray location;
};

// One request to the running pipeline, waited for while the event loop keeps serving the fake
// control socket.
Answer request(int port, const QString &path, const QByteArray &token, const QByteArray &cookie,
               const QByteArray &post = {})
{
    static QNetworkAccessManager network;
    network.setProxy(QNetworkProxy::NoProxy);
    QNetworkRequest request(QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(path)));
    request.setTransferTimeout(5000);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    if (!token.isNull())
        request.setRawHeader("X-Velko-Token", token);
    if (!cookie.isNull())
        request.setRawHeader("Cookie", "velko_token=" + cookie);
    QNetworkReply *reply = nullptr;
    if (post.isNull()) {
        reply = network.get(request);
    } else {
        request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
        reply = network.post(request, post);
    }
    QSignalSpy finished(reply, &QNetworkReply::finished);
    finished.wait(8000);
    Answer answer {reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(),
                   reply->readAll(), reply->rawHeader("Location")};
    reply->deleteLater();
    return answer;
}

QJsonObject state(int port, const QByteArray &token)
{
    return QJsonDocument::fromJson(request(port, "/api/status", token, {}).body)
        .object()
        .value("state")
        .toObject();
}

// Plays the recorder on the control socket: answers "start" with a few events and "stop" with
// the summary.
class FakeRecorder : public QObject
{
public:
    FakeRecorder()
    {
        QFile::remove(Paths::controlSocket());
        server.listen(Paths::controlSocket());
        connect(&server, &QLocalServer::newConnection, this, [this] {
            connection = server.nextPendingConnection();
            connect(connection, &QLocalSocket::readyRead, this, [this] { read(); });
        });
    }

    void send(const QJsonObject &event)
    {
        connection->write(QJsonDocument(event).toJson(QJsonDocument::Compact) + '\n');
        connection->flush();
    }

    QLocalServer server;
    QLocalSocket *connection = nullptr;
    QList<QJsonObject> received;

private:
    void read()
    {
        while (connection->canReadLine()) {
            const QJsonObject line = QJsonDocument::fromJson(connection->readLine()).object();
            received << line;
            const double now = QDateTime::currentMSecsSinceEpoch() / 1000.0;
            if (line.value("cmd") == "start") {
                send({{"type", "started"}, {"t", now}, {"display", 1}});
                send({{"type", "frame"}, {"t", now}, {"path", "/nowhere/1.jpg"}});
                send({{"type", "state"},
                      {"t", now + 0.1},
                      {"app", "Files"},
                      {"page_title", "Reports"}});
                send({{"type", "click"},
                      {"t", now + 0.2},
                      {"action", "click"},
                      {"x", 10},
                      {"y", 20},
                      {"app", "Files"},
                      {"title", "Open"}});
            } else if (line.value("cmd") == "stop") {
                send({{"type", "speech"},
                      {"t", now},
                      {"text", "open the report"},
                      {"source", "mic"}});
                send({{"type", "done"}, {"verify", QJsonObject {{"frames", 1}, {"clicks", 1}}}});
                connection->disconnectFromServer();
            }
        }
    }
};

} // namespace

class TestReferencePipeline : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QCoreApplication::setOrganizationName(QStringLiteral("Velko AI Tests"));
        QCoreApplication::setApplicationName(QStringLiteral("tst_referencepipeline"));
        QSettings().clear();
        m_sandbox = std::make_unique<Sandbox>(QStringLiteral(VELKO_SOURCE_DIR "/resources/app"));
        m_supervisor = std::make_unique<Supervisor>();
        m_supervisor->setExtraEnv("VELKO_CAPTURE", "screenpipe");
        m_supervisor->setExtraEnv("VELKO_STAGE_DELAY", "0.05");
        m_supervisor->start();
        QTRY_COMPARE_WITH_TIMEOUT(m_supervisor->phase().kind, Supervisor::Phase::Running, 15000);
        m_port = m_supervisor->phase().port;
        m_token = m_supervisor->token().toUtf8();
    }

    void cleanupTestCase()
    {
        if (m_supervisor)
            QCOMPARE(m_supervisor->stop(), QList<pid_t>());
    }

    void tokenGuardsEverything_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("token"); // null: no header
        QTest::addColumn<QByteArray>("cookie"); // null: no cookie
        QTest::addColumn<int>("status");
        const QByteArray none;
        QTest::newRow("status with the token") << "/api/status" << QByteArray("T") << none << 200;
        QTest::newRow("status without a token") << "/api/status" << none << none << 401;
        QTest::newRow("status with a wrong token")
            << "/api/status" << QByteArray("dvud") << none << 401;
        QTest::newRow("status with the cookie only")
            << "/api/status" << none << QByteArray("T") << 401;
        QTest::newRow("page with the cookie") << "/" << none << QByteArray("T") << 200;
        QTest::newRow("page with the header") << "/" << QByteArray("T") << none << 200;
        QTest::newRow("page without") << "/" << none << none << 401;
        QTest::newRow("page with a wrong cookie") << "/" << none << QByteArray("dvud") << 401;
        QTest::newRow("script with the cookie")
            << "/assets/app.js" << none << QByteArray("T") << 200;
        QTest::newRow("script without") << "/assets/app.js" << none << none << 401;
        QTest::newRow("no way out of the assets")
            << "/assets/..%2Fserver.py" << QByteArray("T") << none << 404;
    }

    void tokenGuardsEverything()
    {
        QFETCH(QString, path);
        QFETCH(QByteArray, token);
        QFETCH(QByteArray, cookie);
        QFETCH(int, status);
        const auto real = [this](const QByteArray &given) {
            return given == "T" ? m_token : given;
        };
        QCOMPARE(request(m_port, path, real(token), real(cookie)).status, status);
    }

    void statusReportsStateAndBackend()
    {
        const QJsonObject answer =
            QJsonDocument::fromJson(request(m_port, "/api/status", m_token, {}).body).object();
        QCOMPARE(answer.value("caps").toObject().value("backend").toString(),
                 QStringLiteral("screenpipe"));
        QCOMPARE(answer.value("state").toObject().value("phase").toString(),
                 QStringLiteral("idle"));
    }

    void pageNamesItsScript()
    {
        const QString html = QString::fromUtf8(request(m_port, "/", {}, m_token).body);
        static const QRegularExpression script(QStringLiteral("src=\"\\./assets/[^\"]+\\.js\""));
        const auto match = script.match(html);
        QVERIFY(match.hasMatch());
        const QString src = match.captured(0).mid(5).chopped(1);
        QCOMPARE(request(m_port, "/" + src.mid(2), m_token, {}).status, 200);
    }

    void oauthCallbackRedirects_data()
    {
        QTest::addColumn<QString>("query");
        QTest::addColumn<QByteArray>("location");
        QTest::newRow("granted") << "?code=abc&vendor=Sheets%20Online"
                                 << QByteArray("vuvuvuv://oauth?ok=1&vendor=Sheets%20Online");
        QTest::newRow("refused") << "?error=access_denied&vendor=Mail"
                                 << QByteArray(
                                        "vuvuvuv://oauth?ok=0&vendor=Mail&message=access_denied");
        QTest::newRow("nothing")
            << ""
            << QByteArray("vuvuvuv://oauth?ok=0&message=the%20sign-in%20returned%20no%20code");
    }

    void oauthCallbackRedirects()
    {
        QFETCH(QString, query);
        QFETCH(QByteArray, location);
        const Answer answer = request(m_port, "/oauth/callback" + query, {}, {});
        QCOMPARE(answer.status, 302);
        QCOMPARE(answer.location, location);
    }

    void commandsAnswer_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        QTest::newRow("run stop") << "/api/run/stop" << QByteArray("{}") << 200;
        QTest::newRow("tick") << "/api/schedules/tick" << QByteArray("{\"reason\":\"wake\"}")
                              << 200;
        QTest::newRow("pause all")
            << "/api/schedules/pause-all" << QByteArray("{\"paused\":true}") << 200;
        QTest::newRow("pause all without flag")
            << "/api/schedules/pause-all" << QByteArray("{}") << 400;
        QTest::newRow("record stop while idle") << "/api/record/stop" << QByteArray("{}") << 409;
        QTest::newRow("import nothing") << "/api/import" << QByteArray("{}") << 400;
        QTest::newRow("import a missing folder")
            << "/api/import" << QByteArray("{\"session_dir\":\"/no/such/folder\"}") << 400;
        QTest::newRow("body not an object") << "/api/run/stop" << QByteArray("[1]") << 400;
    }

    void commandsAnswer()
    {
        QFETCH(QString, path);
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        const Answer answer = request(m_port, path, m_token, {}, body);
        QCOMPARE(answer.status, status);
        if (status != 200)
            QVERIFY(
                !QJsonDocument::fromJson(answer.body).object().value("error").toString().isEmpty());
    }

    // A recording driven through the control socket ends in review with a bundle built from the
    // recorded click and state, stored as the session files.
    void recordingEndsInReview()
    {
        FakeRecorder recorder;
        const Answer started = request(m_port, "/api/record/start", m_token, {}, "{\"display\":1}");
        QCOMPARE(started.status, 200);
        QCOMPARE(recorder.received.size(), 1);
        const QJsonObject command = recorder.received.first();
        QCOMPARE(command.value("token").toString().toUtf8(), m_token);
        QVERIFY(command.value("frames_dir").toString().startsWith(m_sandbox->dataDir()));
        QVERIFY(command.value("audio_dir").toString().startsWith(m_sandbox->dataDir()));
        QTRY_COMPARE(state(m_port, m_token).value("captured").toInt(), 1);
        QCOMPARE(state(m_port, m_token).value("phase").toString(), QStringLiteral("recording"));
        QCOMPARE(request(m_port, "/api/record/start", m_token, {}, "{}").status, 409);

        QCOMPARE(request(m_port, "/api/record/stop", m_token, {}, "{}").status, 200);
        QTRY_COMPARE_WITH_TIMEOUT(state(m_port, m_token).value("phase").toString(),
                                  QStringLiteral("review"), 10000);
        QCOMPARE(recorder.received.last().value("cmd").toString(), QStringLiteral("stop"));

        const QJsonObject review = state(m_port, m_token);
        const QJsonObject bundle = review.value("bundles").toArray().first().toObject();
        QCOMPARE(bundle.value("procedure").toObject().value("name").toString(),
                 QStringLiteral("Task in Files"));
        QCOMPARE(bundle.value("procedure").toObject().value("steps").toArray().size(), 2);
        QVERIFY(review.contains("understood"));
        const QString session = review.value("session").toString();
        QCOMPARE(bundle.value("evidence").toObject().value("sessions").toArray().first().toString(),
                 "screen:" + session);
        const QDir sessions(m_sandbox->dataDir() + "/capture/sessions");
        for (const char *suffix : {".jsonl", ".clicks.jsonl", ".audio.jsonl"})
            QVERIFY2(sessions.exists(session + suffix), suffix);
        QVERIFY(QFile::exists(m_sandbox->dataDir() + "/out/screen.bundles.json"));
    }

    void recordingOfNothingCannotBeRead()
    {
        FakeRecorder recorder;
        connect(&recorder.server, &QLocalServer::newConnection, &recorder, [&recorder] {
            // Answer without any event: replace the scripted reader with a bare one.
            disconnect(recorder.connection, &QLocalSocket::readyRead, nullptr, nullptr);
            connect(recorder.connection, &QLocalSocket::readyRead, &recorder, [&recorder] {
                while (recorder.connection->canReadLine()) {
                    const QJsonObject line =
                        QJsonDocument::fromJson(recorder.connection->readLine()).object();
                    if (line.value("cmd") == "start")
                        recorder.send({{"type", "started"}, {"t", 1.0}});
                    else if (line.value("cmd") == "stop")
                        recorder.send({{"type", "done"}, {"verify", QJsonObject {}}});
                }
            });
        });
        QCOMPARE(request(m_port, "/api/record/start", m_token, {}, "{}").status, 200);
        QCOMPARE(request(m_port, "/api/record/stop", m_token, {}, "{}").status, 200);
        QTRY_COMPARE_WITH_TIMEOUT(state(m_port, m_token).value("phase").toString(),
                                  QStringLiteral("review"), 10000);
        const QJsonObject review = state(m_port, m_token);
        QVERIFY(!review.value("understood_error").toString().isEmpty());
        QVERIFY(review.value("bundles").toArray().isEmpty());
        QVERIFY(!review.contains("understood"));
    }

    void refusedStartIsReported()
    {
        FakeRecorder recorder;
        connect(&recorder.server, &QLocalServer::newConnection, &recorder, [&recorder] {
            disconnect(recorder.connection, &QLocalSocket::readyRead, nullptr, nullptr);
            connect(recorder.connection, &QLocalSocket::readyRead, &recorder, [&recorder] {
                recorder.connection->readAll();
                recorder.send(
                    {{"type", "error"}, {"error", "no display to record"}, {"fatal", true}});
                recorder.connection->disconnectFromServer();
            });
        });
        const Answer answer = request(m_port, "/api/record/start", m_token, {}, "{}");
        QCOMPARE(answer.status, 500);
        QCOMPARE(QJsonDocument::fromJson(answer.body).object().value("error").toString(),
                 QStringLiteral("no display to record"));
        QTRY_COMPARE(state(m_port, m_token).value("phase").toString(), QStringLiteral("idle"));
        QCOMPARE(state(m_port, m_token).value("error").toString(),
                 QStringLiteral("no display to record"));
        // Nothing is left of a recording that never started.
        const QString session = state(m_port, m_token).value("session").toString();
        QVERIFY(!QFile::exists(m_sandbox->dataDir() + "/webapp/recordings/" + session));
        QVERIFY(!QFile::exists(m_sandbox->dataDir() + "/capture/sessions/" + session + ".jsonl"));
    }

    void importedBundleIsReviewed()
    {
        const QByteArray body = R"({"bundle": {"procedure": {"name": "Weekly report"}},
                                    "source": "report.json"})";
        const Answer answer = request(m_port, "/api/import", m_token, {}, body);
        QCOMPARE(answer.status, 200);
        QCOMPARE(QJsonDocument::fromJson(answer.body).object().value("ok").toBool(), true);
        QTRY_COMPARE_WITH_TIMEOUT(state(m_port, m_token).value("phase").toString(),
                                  QStringLiteral("review"), 10000);
        const QJsonObject review = state(m_port, m_token);
        QCOMPARE(review.value("bundles")[0]["procedure"]["name"].toString(),
                 QStringLiteral("Weekly report"));
        QVERIFY(review.contains("understood"));
    }

    void streamStartsWithTheState()
    {
        QNetworkAccessManager network;
        network.setProxy(QNetworkProxy::NoProxy);
        QNetworkRequest stream(QUrl(QStringLiteral("http://127.0.0.1:%1/api/stream").arg(m_port)));
        stream.setRawHeader("X-Velko-Token", m_token);
        QNetworkReply *reply = network.get(stream);
        QByteArray received;
        QTRY_VERIFY_WITH_TIMEOUT((received += reply->readAll()).contains("\n\n"), 5000);
        QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
        QVERIFY(received.startsWith("data: "));
        const QJsonObject event =
            QJsonDocument::fromJson(received.mid(6, received.indexOf('\n') - 6)).object();
        QCOMPARE(event.value("kind").toString(), QStringLiteral("state"));
        QVERIFY(event.contains("phase"));

        // A change reaches the open stream.
        QCOMPARE(
            request(m_port, "/api/schedules/pause-all", m_token, {}, "{\"paused\":false}").status,
            200);
        QTRY_VERIFY_WITH_TIMEOUT(
            (received += reply->readAll()).contains("\"schedules_paused\":false"), 5000);
        reply->abort();
        reply->deleteLater();
    }

    // The pipeline ends itself once the application that started it is gone.
    void exitsWithItsParent()
    {
        QProcess parent;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("VELKO_UI_TOKEN", "t");
        env.insert("PORT", "0");
        parent.setProcessEnvironment(env);
        const QString webapp = QStringLiteral(VELKO_SOURCE_DIR "/resources/app/webapp");
        parent.start("/bin/sh",
                     {"-c",
                      QStringLiteral("VELKO_PARENT_PID=$$ /usr/bin/python3 -u %1/"
                                     "launch_pipeline.py %1/server.py "
                                     ">/dev/null 2>&1 & echo $!; sleep 1")
                          .arg(webapp)});
        QVERIFY(parent.waitForReadyRead(5000));
        const pid_t server = parent.readLine().trimmed().toInt();
        QVERIFY(server > 0);
        QTRY_VERIFY(ProcessTree::command(server).value_or("").contains("server.py"));
        QVERIFY(parent.waitForFinished(5000));
        QTRY_VERIFY_WITH_TIMEOUT(!ProcessTree::isAlive(server), 5000);
    }

private:
    std::unique_ptr<Sandbox> m_sandbox;
    std::unique_ptr<Supervisor> m_supervisor;
    int m_port = 0;
    QByteArray m_token;
};

QTEST_GUILESS_MAIN(TestReferencePipeline)
#include "tst_referencepipeline.moc"
