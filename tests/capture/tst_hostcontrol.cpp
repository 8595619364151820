#include "capture/ControlClient.h"
#include "capture/FakeScreenSource.h"
#include "capture/HostControl.h"
#include "capture/SilentAudioSource.h"
#include "core/DomainError.h"

#include <QDir>
#include <QImageReader>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

namespace {

const QString token = QString(64, 'a');

mode_t modeOf(const QString &path)
{
    struct stat info
    {
    };
    ::stat(QFile::encodeName(path).constData(), &info);
    return info.st_mode & 0777;
}

QSize jpegSize(const QString &path)
{
    QImageReader reader(path);
    return reader.read().size();
}

} // namespace

class TestHostControl : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    std::shared_ptr<FakeScreenSource::Screen> m_screen;
    std::unique_ptr<HostControl> m_host;
    std::weak_ptr<NativeRecorder> m_recorder;

    QString socketPath() const { return m_dir.filePath("host.sock"); }

    QJsonObject startLine(const QString &name, const QJsonObject &extra = {}) const
    {
        QJsonObject line {{"token", token},
                          {"cmd", "start"},
                          {"frames_dir", m_dir.filePath(name + "/frames")},
                          {"audio_dir", m_dir.filePath(name + "/audio")}};
        for (auto it = extra.begin(); it != extra.end(); ++it)
            line.insert(it.key(), it.value());
        return line;
    }

    QJsonObject status()
    {
        ControlClient client(socketPath());
        client.send({{"token", token}, {"cmd", "status"}});
        return client.readLine().value_or(QJsonObject());
    }

private slots:
    void init()
    {
        m_screen = std::make_shared<FakeScreenSource::Screen>();
        m_screen->monitors = {{"LEFT", QRect(0, 0, 1280, 800), 7, true},
                              {"RIGHT", QRect(1280, 0, 1024, 768), 9, false}};
        m_host = std::make_unique<HostControl>(socketPath(), token);
        m_host->setRecorderFactory(
            [this](NativeRecorder::Options opts, NativeRecorder::Emit sendLine) {
                auto recorder = std::make_shared<NativeRecorder>(
                    std::move(opts), std::move(sendLine),
                    [screen = m_screen] { return std::make_unique<FakeScreenSource>(screen); },
                    &SilentAudioSource::create);
                m_recorder = recorder;
                return recorder;
            });
        m_host->start();
    }
    void cleanup() { m_host.reset(); }

    void socketIsOwnerOnlyAndRemovedOnStop()
    {
        QCOMPARE(modeOf(socketPath()), mode_t(0600));
        m_host->stop();
        QVERIFY(!QFile::exists(socketPath()));
        QVERIFY(!ControlClient(socketPath()).connected());
    }

    void pathLimit_data()
    {
        QTest::addColumn<int>("bytes");
        QTest::addColumn<bool>("fits");
        QTest::newRow("107 bytes") << 107 << true;
        QTest::newRow("108 bytes") << 108 << false;
    }
    void pathLimit()
    {
        QFETCH(int, bytes);
        QFETCH(bool, fits);
        const QString prefix = m_dir.path() + "/";
        QString path = prefix + QString(bytes - prefix.toUtf8().size() - 2, 'x');
        path += QStringLiteral("é"); // two bytes: the limit counts UTF-8 bytes
        QCOMPARE(path.toUtf8().size(), bytes);
        HostControl host(path, token);
        try {
            host.start();
            QVERIFY(fits);
        } catch (const DomainError &error) {
            QVERIFY(!fits);
            QCOMPARE(error.domain(), QString("POSIX"));
            QVERIFY2(error.description().startsWith("socket path too long: "),
                     qPrintable(error.description()));
        }
    }

    void refusals_data()
    {
        QTest::addColumn<QByteArray>("first");
        QTest::addColumn<QString>("error");
        const QByteArray tokenField = "\"token\":\"" + token.toUtf8() + "\"";
        QTest::newRow("no token") << QByteArray("{\"cmd\":\"status\"}\n") << "unauthorized";
        QTest::newRow("wrong token")
            << QByteArray("{\"token\":\"" + QByteArray(64, 'b') + "\",\"cmd\":\"status\"}\n")
            << "unauthorized";
        QTest::newRow("token not a string")
            << QByteArray("{\"token\":42,\"cmd\":\"status\"}\n") << "unauthorized";
        QTest::newRow("not JSON") << QByteArray("hello\n") << "unauthorized";
        QTest::newRow("JSON array")
            << QByteArray("[\"" + token.toUtf8() + "\"]\n") << "unauthorized";
        QTest::newRow("no command") << "{" + tokenField + "}\n"
                                    << "unknown command";
        QTest::newRow("stop first") << "{" + tokenField + ",\"cmd\":\"stop\"}\n"
                                    << "unknown command";
        QTest::newRow("command not a string") << "{" + tokenField + ",\"cmd\":1}\n"
                                              << "unknown command";
        QTest::newRow("no dirs") << "{" + tokenField + ",\"cmd\":\"start\"}\n"
                                 << "frames_dir and audio_dir are required";
        QTest::newRow("audio_dir not a string")
            << "{" + tokenField + ",\"cmd\":\"start\",\"frames_dir\":\"/tmp/f\",\"audio_dir\":1}\n"
            << "frames_dir and audio_dir are required";
    }
    void refusals()
    {
        QFETCH(QByteArray, first);
        QFETCH(QString, error);
        ControlClient client(socketPath());
        client.write(first);
        const std::optional<QJsonObject> reply = client.readLine();
        QVERIFY(reply);
        QCOMPARE(*reply, (QJsonObject {{"type", "error"}, {"error", error}}));
        QVERIFY(client.closedByHost());
    }

    void closedWithoutALineGetsNoReply()
    {
        ControlClient client(socketPath());
        client.write("{\"token\":");
        client.finish();
        QVERIFY(client.closedByHost());
    }

    void statusWithoutRecording()
    {
        QCOMPARE(status(),
                 (QJsonObject {{"type", "status"},
                               {"recording", false},
                               {"frames", 0},
                               {"clicks", 0},
                               {"states", 0}}));
    }

    void startFailures_data()
    {
        QTest::addColumn<bool>("accessible");
        QTest::addColumn<bool>("monitors");
        QTest::addColumn<QJsonObject>("reply");
        QTest::newRow("screen not allowed")
            << false << true
            << QJsonObject {{"type", "error"},
                            {"error", "Screen Recording is not allowed for this copy of Velko AI"},
                            {"fatal", true},
                            {"permission", "screen"}};
        QTest::newRow("no monitor")
            << true << false
            << QJsonObject {{"type", "error"}, {"error", "no display to record"}, {"fatal", true}};
    }
    void startFailures()
    {
        QFETCH(bool, accessible);
        QFETCH(bool, monitors);
        QFETCH(QJsonObject, reply);
        m_screen->accessible = accessible;
        if (!monitors)
            m_screen->monitors.clear();
        ControlClient client(socketPath());
        client.send(startLine("failed"));
        QCOMPARE(client.readLine().value_or(QJsonObject()), reply);
        QVERIFY(client.closedByHost());
        // Nothing is left behind: the next start is accepted.
        m_screen->accessible = true;
        m_screen->monitors = {{"ONLY", QRect(0, 0, 640, 480), 1, true}};
        ControlClient next(socketPath());
        next.send(startLine("next"));
        QCOMPARE(next.readLine()->value("type").toString(), QString("started"));
    }

    void directoryThatCannotBeCreated()
    {
        QFile blocker(m_dir.filePath("file"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        ControlClient client(socketPath());
        client.send({{"token", token},
                     {"cmd", "start"},
                     {"frames_dir", m_dir.filePath("file/frames")},
                     {"audio_dir", m_dir.filePath("audio")}});
        const QJsonObject reply = client.readLine().value_or(QJsonObject());
        QCOMPARE(reply.value("type").toString(), QString("error"));
        QVERIFY2(reply.value("error").toString().contains(m_dir.filePath("file")),
                 qPrintable(reply.value("error").toString()));
        QCOMPARE(reply.value("fatal"), QJsonValue(true));
        QVERIFY(!reply.contains("permission"));
    }

    void displayChoice_data()
    {
        QTest::addColumn<QJsonValue>("display");
        QTest::addColumn<QJsonValue>("reported");
        QTest::addColumn<QSize>("recorded");
        QTest::newRow("absent") << QJsonValue() << QJsonValue(1) << QSize(1280, 800);
        QTest::newRow("2") << QJsonValue(2) << QJsonValue(2) << QSize(1024, 768);
        QTest::newRow("0") << QJsonValue(0) << QJsonValue(0) << QSize(1280, 800);
        QTest::newRow("-3") << QJsonValue(-3) << QJsonValue(-3) << QSize(1280, 800);
        QTest::newRow("beyond the last") << QJsonValue(5) << QJsonValue(5) << QSize(1024, 768);
        QTest::newRow("2.5") << QJsonValue(2.5) << QJsonValue(1) << QSize(1280, 800);
        QTest::newRow("string") << QJsonValue("2") << QJsonValue(1) << QSize(1280, 800);
    }
    void displayChoice()
    {
        QFETCH(QJsonValue, display);
        QFETCH(QJsonValue, reported);
        QFETCH(QSize, recorded);
        QJsonObject extra {{"audio", false}, {"microphone", "yes"}};
        if (!display.isUndefined())
            extra.insert("display", display);
        ControlClient client(socketPath());
        client.send(startLine(QTest::currentDataTag(), extra));
        const QJsonObject started = client.readLine().value_or(QJsonObject());
        QCOMPARE(started.value("type").toString(), QString("started"));
        QCOMPARE(started.value("display"), reported);
        QCOMPARE(started.value("audio"), QJsonValue(false));
        QCOMPARE(started.value("microphone"), QJsonValue(true));
        QCOMPARE(started.value("screen"), QJsonValue(true));
        const std::optional<QJsonObject> frame = client.readUntil("frame");
        QVERIFY(frame);
        QCOMPARE(jpegSize(frame->value("path").toString()), recorded);
        client.send({{"cmd", "stop"}});
        QVERIFY(client.readUntil("done"));
    }

    void recordingOverTheConnection()
    {
        m_screen->monitors = {{"BIG", QRect(0, 0, 3840, 2160), 1, true}};
        ControlClient client(socketPath());
        // Two lines in one write: the start and a command that is ignored while recording.
        client.write(QJsonDocument(startLine("rec")).toJson(QJsonDocument::Compact) + "\n" +
                     "{\"cmd\":\"status\"}\n");
        const QJsonObject started = client.readLine().value_or(QJsonObject());
        QCOMPARE(started.value("type").toString(), QString("started"));
        const double t = started.value("t").toDouble();
        QVERIFY(qAbs(t - QDateTime::currentMSecsSinceEpoch() / 1000.0) < 5);

        const std::optional<QJsonObject> first = client.readUntil("frame");
        QVERIFY(first);
        const QString path = first->value("path").toString();
        QVERIFY(QDir::isAbsolutePath(path));
        QCOMPARE(QFileInfo(path).dir().path(), m_dir.filePath("rec/frames"));
        QVERIFY(QFileInfo(path).fileName().endsWith(".jpg"));
        const double named = QFileInfo(path).baseName().toDouble() / 1000;
        QVERIFY(qAbs(named - first->value("t").toDouble()) < 0.001);
        QCOMPARE(jpegSize(path), QSize(1600, 900));
        QCOMPARE(modeOf(path), mode_t(0600));
        QCOMPARE(modeOf(m_dir.filePath("rec/frames")), mode_t(0700));
        QCOMPARE(modeOf(m_dir.filePath("rec/audio")), mode_t(0700));

        // A second start from anywhere is refused; status sees the recording.
        ControlClient second(socketPath());
        second.send(startLine("other"));
        QCOMPARE(second.readLine()->value("error").toString(), QString("already recording"));
        QCOMPARE(status().value("recording"), QJsonValue(true));
        QCOMPARE(status().value("frames"), QJsonValue(1));

        // An unchanged screen gives no frame, a changed one does.
        const int grabs = m_screen->grabs;
        QTRY_VERIFY_WITH_TIMEOUT(m_screen->grabs >= grabs + 3, 3000);
        QVERIFY(!client.readLine(100));
        m_screen->colour = 0xffffffff;
        QVERIFY(client.readUntil("frame"));
        // A click or state change keeps the next sample even though nothing changed.
        const std::shared_ptr<NativeRecorder> recorder = m_recorder.lock();
        QVERIFY(recorder);
        recorder->stateQueue().async([recorder] { recorder->forceNext(); });
        QVERIFY(client.readUntil("frame"));
        QVERIFY(!client.readLine(800));

        client.send({{"cmd", "pause"}});
        client.send({{"token", token}, {"cmd", "stop"}});
        QList<QJsonObject> before;
        const std::optional<QJsonObject> done = client.readUntil("done", &before);
        QVERIFY(done);
        QCOMPARE(done->value("verify").toObject(),
                 (QJsonObject {{"frames", 3},
                               {"clicks", 0},
                               {"states", 0},
                               {"speech", 0},
                               {"audio_enabled", true},
                               {"audio_engine", QJsonValue::Null},
                               {"transcription_local", true}}));
        QVERIFY(client.closedByHost());
        QCOMPARE(QDir(m_dir.filePath("rec/frames")).entryList(QDir::Files).size(), 3);
        QCOMPARE(status().value("recording"), QJsonValue(false));
    }

    void lostDisplayIsReportedOnceAndInTheSummary()
    {
        ControlClient client(socketPath());
        client.send(startLine("lost", {{"audio", false}, {"microphone", false}}));
        QVERIFY(client.readUntil("frame"));
        m_screen->lost = true;
        const std::optional<QJsonObject> error = client.readUntil("error");
        QVERIFY(error);
        QCOMPARE(error->value("error").toString(), QString("the display went away"));
        QVERIFY(error->contains("t"));
        const int grabs = m_screen->grabs;
        QVERIFY(!client.readLine(600)); // nothing more is grabbed or reported
        QCOMPARE(m_screen->grabs.load(), grabs);
        QCOMPARE(status().value("recording"), QJsonValue(true));
        client.send({{"cmd", "stop"}});
        const std::optional<QJsonObject> done = client.readUntil("done");
        QVERIFY(done);
        QCOMPARE(done->value("verify").toObject(),
                 (QJsonObject {{"frames", 1},
                               {"clicks", 0},
                               {"states", 0},
                               {"speech", 0},
                               {"audio_enabled", false},
                               {"audio_engine", QJsonValue::Null},
                               {"transcription_local", true},
                               {"error", "the display went away"}}));
    }

    void lateLinesNeverReachALaterConnection()
    {
        ControlClient client(socketPath());
        client.send(startLine("late", {{"screen", false}}));
        QVERIFY(client.readUntil("started"));
        const std::shared_ptr<NativeRecorder> recorder = m_recorder.lock();
        client.send({{"cmd", "stop"}});
        QVERIFY(client.readUntil("done"));
        QVERIFY(client.closedByHost());
        // The next connection is likely to get the closed one's descriptor number.
        ControlClient next(socketPath());
        QVERIFY(next.connected());
        QTest::qWait(100); // accepted by now
        recorder->emitLine({{"type", "state"}, {"app", "late"}});
        next.send({{"token", token}, {"cmd", "status"}});
        QCOMPARE(next.readLine().value_or(QJsonObject()).value("type").toString(),
                 QString("status"));
    }

    void endOfStreamStopsTheRecording()
    {
        ControlClient client(socketPath());
        client.send(startLine("eos", {{"screen", false}, {"audio", false}, {"microphone", false}}));
        QCOMPARE(client.readLine()->value("screen"), QJsonValue(false));
        client.finish();
        const std::optional<QJsonObject> done = client.readLine();
        QVERIFY(done);
        QCOMPARE(done->value("type").toString(), QString("done"));
        QCOMPARE(done->value("verify").toObject().value("frames"), QJsonValue(0));
        QCOMPARE(done->value("verify").toObject().value("audio_enabled"), QJsonValue(false));
        QCOMPARE(m_screen->grabs.load(), 0);
        QVERIFY(!QFileInfo::exists(m_dir.filePath("eos/frames")));
        QVERIFY(QFileInfo(m_dir.filePath("eos/audio")).isDir());
        QTRY_COMPARE(status().value("recording"), QJsonValue(false));
    }
};

QTEST_GUILESS_MAIN(TestHostControl)
#include "tst_hostcontrol.moc"
