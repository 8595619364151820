#include "app/FakeDesktop.h"
#include "core/ProcessTree.h"

#include <QDBusMessage>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <signal.h>

namespace {

QString velko()
{
    return QCoreApplication::applicationDirPath() + "/velko";
}

// A fresh home for one run of the application, with these settings.
struct Home
{
    QTemporaryDir dir;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();

    explicit Home(const QString &settings)
    {
        for (const char *name :
             {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME", "XDG_CACHE_HOME"})
            env.insert(name, dir.filePath(name));
        // A runtime folder of its own: the single-instance socket there is per user.
        QDir().mkpath(dir.filePath("run"));
        QFile::setPermissions(dir.filePath("run"),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        env.insert("XDG_RUNTIME_DIR", dir.filePath("run"));
        QDir().mkpath(dir.filePath("XDG_CONFIG_HOME/Velko AI"));
        QFile conf(dir.filePath("XDG_CONFIG_HOME/Velko AI/Velko AI.conf"));
        if (conf.open(QIODevice::WriteOnly))
            conf.write(("[General]\n" + settings).toUtf8());
    }
    QString serverLog() const
    {
        QFile log(dir.filePath("XDG_STATE_HOME/Velko AI/logs/server.log"));
        return log.open(QIODevice::ReadOnly) ? QString::fromUtf8(log.readAll()) : QString();
    }
};

int post(int port, const QString &token, const QString &path, const QByteArray &body)
{
    QNetworkAccessManager manager;
    QNetworkRequest request(QUrl(QString("http://127.0.0.1:%1%2").arg(port).arg(path)));
    request.setRawHeader("X-Velko-Token", token.toUtf8());
    request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
    request.setTransferTimeout(5000);
    QNetworkReply *reply = manager.post(request, body);
    QSignalSpy finished(reply, &QNetworkReply::finished);
    finished.wait(6000);
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    delete reply;
    return status;
}

} // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void smoke_data()
    {
        QTest::addColumn<QString>("settings");
        QTest::addColumn<QString>("fault");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QJsonObject>("expected");

        QTest::newRow("remote") << ""
                                << "" << 0
                                << QJsonObject {{"ok", true},
                                                {"server_mode", "remote"},
                                                {"capture_backend", "native"},
                                                {"page", "ok"},
                                                {"left_after_stop", 0},
                                                {"host_socket", true},
                                                {"with_token", 200},
                                                {"without_token", 401},
                                                {"wrong_token", 401},
                                                {"server_healthy", false}};
        QTest::newRow("built-in") << "serverMode=builtin\n"
                                  << "" << 0
                                  << QJsonObject {{"ok", true},
                                                  {"server_mode", "builtin"},
                                                  {"server_healthy", true},
                                                  {"left_after_stop", 0}};
        QTest::newRow("no token needed")
            << ""
            << "open" << 1 << QJsonObject {{"ok", false}, {"without_token", 200}, {"page", "ok"}};
        QTest::newRow("no interpreter")
            << ""
            << "python" << 1
            << QJsonObject {{"ok", false},
                            {"error", "could not start the pipeline: No such file or directory"}};
        QTest::newRow("no script")
            << ""
            << "noscript" << 1
            << QJsonObject {
                   {"ok", false}, {"without_token", 401}, {"page", "no script in the index"}};
    }

    void smoke()
    {
        QFETCH(QString, settings);
        QFETCH(QString, fault);
        QFETCH(int, exitCode);
        QFETCH(QJsonObject, expected);

        Home home(settings);
        if (fault == "python") {
            home.env.insert("VELKO_PYTHON_HOME", home.dir.filePath("no-python"));
        } else if (!fault.isEmpty()) {
            home.env.insert("VELKO_REPO", VELKO_FIXTURES_DIR "/faulty-pipeline");
            home.env.insert("FAULT", fault);
        }
        QProcess run;
        run.setProcessEnvironment(home.env);
        run.start(velko(), {"--smoke"});
        QVERIFY(run.waitForFinished(50000));
        const QByteArray out = run.readAllStandardOutput();
        QVERIFY2(out.endsWith("}\n") && out.count('\n') == 1, out.constData());
        const QJsonObject report = QJsonDocument::fromJson(out).object();
        QCOMPARE(run.exitCode(), exitCode);
        for (auto it = expected.begin(); it != expected.end(); ++it)
            QVERIFY2(report.value(it.key()) == it.value(),
                     qPrintable(it.key() + " in " + QString::fromUtf8(out)));
        QCOMPARE(report.contains("port"), fault != "python");
    }

    void recordingEndsInAReviewNotification()
    {
        FakeNotificationServer notifications;
        QVERIFY(notifications.registered());
        // The desktop's accessibility switch, which recording needs.
        QDBusMessage enable = QDBusMessage::createMethodCall(
            "org.a11y.Bus", "/org/a11y/bus", "org.freedesktop.DBus.Properties", "Set");
        enable << QString("org.a11y.Status") << QString("IsEnabled")
               << QVariant::fromValue(QDBusVariant(true));
        QDBusConnection::sessionBus().call(enable);

        Home home("onboarded=true\n");
        home.env.insert("VELKO_STAGE_DELAY", "0.05");
        QProcess app;
        app.setProcessEnvironment(home.env);
        app.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        app.start(velko());
        QVERIFY(app.waitForStarted());

        // The pipeline's port from its announcement, its token from its environment.
        static const QRegularExpression announced("http://127\\.0\\.0\\.1:(\\d+)");
        QTRY_VERIFY_WITH_TIMEOUT(announced.match(home.serverLog()).hasMatch(), 20000);
        const int port = announced.match(home.serverLog()).captured(1).toInt();
        pid_t pipeline = 0;
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                const QList<pid_t> tree = ProcessTree::descendants(pid_t(app.processId()));
                for (const pid_t pid : tree.mid(1)) {
                    if (ProcessTree::command(pid).value_or("").contains("server.py"))
                        pipeline = pid;
                }
                return pipeline > 0;
            }(),
            10000);
        std::optional<QString> token;
        QTRY_VERIFY((token = ProcessTree::environment(pipeline, "VELKO_UI_TOKEN")).has_value());

        QCOMPARE(post(port, *token, "/api/record/start", R"({"display": 1})"), 200);
        QTest::qWait(1500);
        // Something to build a step from: a click on the desktop.
        QProcess::execute("xdotool", {"mousemove", "400", "300", "click", "1"});
        QTest::qWait(1500);
        QCOMPARE(post(port, *token, "/api/record/stop", "{}"), 200);

        QTRY_VERIFY_WITH_TIMEOUT(std::any_of(notifications.shown.cbegin(),
                                             notifications.shown.cend(),
                                             [](const ShownNotification &n) {
                                                 return n.title == "Workflow ready to review";
                                             }),
                                 30000);

        // Quitting by SIGTERM leaves nothing running.
        ::kill(pid_t(app.processId()), SIGTERM);
        QVERIFY(app.waitForFinished(15000));
        QCOMPARE(app.exitStatus(), QProcess::NormalExit);
        QCOMPARE(app.exitCode(), 0);
        QTRY_VERIFY(!ProcessTree::isAlive(pipeline));
    }
};

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
