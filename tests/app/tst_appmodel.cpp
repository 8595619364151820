#include "app/AppLogTail.h"
#include "app/AppModel.h"
#include "app/FakeDesktop.h"
#include "app/LoginItem.h"
#include "capture/HostControl.h"
#include "client/FakePipeline.h"
#include "core/Supervisor.h"
#include "platform/linux/dbus/DBusNotifications.h"
#include "platform/linux/dbus/Logind.h"

#include <QFile>
#include <QJsonDocument>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace std::chrono_literals;
using Schedule = PipelineClient::Schedule;
using QuitQuestion = AppModel::QuitQuestion;
Q_DECLARE_METATYPE(std::optional<AppModel::QuitQuestion>)

namespace {

AppModel::Options testOptions(const QString &zoneFile = {})
{
    AppModel::Options options;
    options.systemBus = QDBusConnection::sessionBus(); // where the fake logind lives
    options.wakeDelay = 300ms;
    options.pageExpiry = 200ms;
    if (!zoneFile.isEmpty())
        options.zoneFile = zoneFile;
    return options;
}

struct FakePage : PageView, QObject
{
    bool loading = false;
    QStringList scripts;
    bool isLoading() const override { return loading; }
    void evaluate(const QString &script) override { scripts << script; }
};

QJsonObject runs(int running)
{
    QJsonObject all;
    for (int i = 0; i < running; ++i)
        all.insert(QString("r%1").arg(i), QJsonObject {{"state", "running"}, {"name", "W"}});
    return QJsonObject {{"kind", "state"}, {"runs", all}};
}

QStringList ticks(const FakePipeline &pipeline)
{
    QStringList reasons;
    for (const auto &request : pipeline.requests("/api/schedules/tick"))
        reasons << QJsonDocument::fromJson(request.body).object().value("reason").toString();
    return reasons;
}

} // namespace

class TestAppModel : public QObject
{
    Q_OBJECT

    QTemporaryDir m_home;

private slots:
    void initTestCase()
    {
        qputenv("XDG_CONFIG_HOME", (m_home.path() + "/config").toUtf8());
        qputenv("XDG_STATE_HOME", (m_home.path() + "/state").toUtf8());
        QCoreApplication::setOrganizationName("Velko AI");
        QCoreApplication::setApplicationName("Velko AI");
    }

    void init() { QSettings().clear(); }

    void runsHoldOneInhibitorAndRunAPostponedUpdate()
    {
        FakeLogind logind;
        AppModel model(testOptions());
        model.wire();
        int installs = 0;
        QVERIFY(!model.waitForRuns([&] { ++installs; })); // nothing runs: at once
        QVERIFY(model.quitting());

        AppModel busy(testOptions());
        busy.wire();
        busy.client().apply(runs(2));
        QTRY_VERIFY(logind.inhibitorHeld());
        QVERIFY(busy.awake());
        QVERIFY(busy.waitForRuns([&] { ++installs; }));
        QCOMPARE(AppLogTail::lastLine(), "update: waits for 2 run(s) to end");
        busy.client().apply(runs(1));
        QTest::qWait(100);
        QCOMPARE(logind.inhibitCalls, 1);
        QVERIFY(logind.inhibitorHeld());
        QCOMPARE(installs, 0);
        QVERIFY(!busy.quitting());

        busy.client().apply(runs(0));
        QVERIFY(!busy.awake());
        QTRY_VERIFY(!logind.inhibitorHeld());
        QCOMPARE(installs, 1);
        QVERIFY(busy.quitting());
        busy.runsChanged(-1);
        busy.runsChanged(0);
        QCOMPARE(installs, 1);
    }

    void firstScheduleOnRegistersTheLoginItemOnce()
    {
        AppModel model(testOptions());
        const Schedule off {"w1", "Daily", false, std::nullopt};
        const Schedule on {"w2", "Weekly", true, std::nullopt};
        model.schedulesChanged({off});
        QVERIFY(!QFile::exists(LoginItem::entryPath()));
        model.schedulesChanged({off, on});
        QVERIFY(QFile::exists(LoginItem::entryPath()));
        QVERIFY(QSettings().value("loginItemChosen").toBool());

        // The user removed it: it stays removed.
        QVERIFY(LoginItem::set(false));
        model.schedulesChanged({on});
        QVERIFY(!QFile::exists(LoginItem::entryPath()));
    }

    void systemEventsTickTheScheduler()
    {
        FakeLogind logind;
        FakePipeline pipeline;
        QTemporaryDir zones;
        const QString zoneFile = zones.filePath("localtime");
        QVERIFY(QFile::link("/usr/share/zoneinfo/UTC", zoneFile));
        AppModel model(testOptions(zoneFile));
        model.client().connectToPipeline(pipeline.port(), "tok");
        model.watchTheMac();
        QTest::qWait(200); // the signal matches settle

        QElapsedTimer woke;
        logind.sendPrepareForSleep(true);
        logind.sendPrepareForSleep(false);
        woke.start();
        QTest::qWait(150);
        QVERIFY(ticks(pipeline).isEmpty());
        QTRY_COMPARE(ticks(pipeline), QStringList {"wake"});
        QVERIFY(woke.elapsed() >= 300);
        QCOMPARE(pipeline.requests("/api/schedules/tick").first().headers.value("x-velko-token"),
                 "tok");

        logind.sendUnlock();
        QTRY_COMPARE(ticks(pipeline), (QStringList {"wake", "unlock"}));

        QVERIFY(QFile::link("/usr/share/zoneinfo/Asia/Tokyo", zoneFile + ".new"));
        QVERIFY(::rename(qPrintable(zoneFile + ".new"), qPrintable(zoneFile)) == 0);
        QTRY_COMPARE(ticks(pipeline), (QStringList {"wake", "unlock", "clock"}));

        QVERIFY(!model.quitting());
        logind.sendPrepareForShutdown(true);
        QTRY_VERIFY(model.quitting());
        QTest::qWait(100);
        QCOMPARE(ticks(pipeline).size(), 3);
    }

    void outcomesBecomeNotificationsAndClicksOpenTheRun()
    {
        FakeNotificationServer server;
        AppModel model(testOptions());
        int opened = 0;
        model.mainWindowOpener = [&] {
            ++opened;
        };
        model.wire();
        model.client().apply(QJsonObject {{"phase", "processing"}});
        model.client().apply(QJsonDocument::fromJson(R"({"phase": "review", "understood": {},
            "bundles": [{"procedure": {"name": "Send invoices"}}]})")
                                 .object());
        QCOMPARE(model.client().outcome(), std::nullopt); // consumed
        QTRY_COMPARE(server.shown.size(), 1);
        QCOMPARE(server.shown[0].title, "Workflow ready to review");
        QCOMPARE(server.shown[0].body, "Send invoices");

        model.client().apply(QJsonDocument::fromJson(R"({"kind": "state", "runs": {"r":
            {"state": "done", "name": "Invoices", "reply": "Question: which one?"}}})")
                                 .object());
        QTRY_COMPARE(server.shown.size(), 2);
        QCOMPARE(server.shown[1].title, "Invoices needs your help");

        // The page is loading: the run page waits for it.
        FakePage page;
        page.loading = true;
        model.setPageWebView(&page);
        server.click(server.shown[1].id);
        QTRY_COMPARE(opened, 1);
        QCOMPARE(model.pendingPage(), std::optional<AppModel::Page>({{"page", "run"}}));
        QVERIFY(page.scripts.isEmpty());
        page.loading = false;
        model.flushPendingPage();
        QCOMPARE(page.scripts,
                 QStringList {"window.__velkoOpen = {\"page\":\"run\"}; "
                              "window.dispatchEvent(new Event('velko-open'));"});
        QCOMPARE(model.pendingPage(), std::nullopt);

        // A click on the first one opens the window only.
        server.click(server.shown[0].id);
        QTRY_COMPARE(opened, 2);
        QCOMPARE(model.pendingPage(), std::nullopt);
    }

    void pageNavigation()
    {
        AppModel model(testOptions());
        model.openWorkflow("w-7");
        QCOMPARE(model.pendingPage(),
                 std::optional<AppModel::Page>({{"page", "workflow"}, {"id", "w-7"}}));
        FakePage page;
        model.setPageWebView(&page);
        model.flushPendingPage();
        QCOMPARE(page.scripts.size(), 1);
        QVERIFY(
            page.scripts[0].startsWith(R"(window.__velkoOpen = {"id":"w-7","page":"workflow"};)"));

        model.reopenAfterReload("keys");
        QCOMPARE(model.pendingPage(),
                 std::optional<AppModel::Page>({{"page", "settings"}, {"section", "keys"}}));
        QTRY_COMPARE(model.pendingPage(), std::nullopt); // expired
        QCOMPARE(page.scripts.size(), 1);

        model.webAction("openSettings");
        QCOMPARE(page.scripts.size(), 2);
        QVERIFY(page.scripts[1].contains(R"({"page":"settings","section":""})"));
        model.webAction("dance");
        QCOMPARE(AppLogTail::lastLine(), "web: unknown action dance");
    }

    void toggleRecording_data()
    {
        QTest::addColumn<bool>("screen");
        QTest::addColumn<bool>("accessibility");
        QTest::addColumn<QString>("phase");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("sentTo");
        QTest::addColumn<QString>("error");

        const QString allow = "Allow %1 first — Settings → Permissions";
        QTest::newRow("both missing: screen named")
            << false << false << "idle" << 200 << QByteArray() << ""
            << allow.arg("Screen & System Audio Recording");
        QTest::newRow("accessibility missing")
            << true << false << "idle" << 200 << QByteArray() << "" << allow.arg("Accessibility");
        QTest::newRow("start accepted")
            << true << true << "idle" << 200 << QByteArray("{}") << "/api/record/start"
            << "";
        QTest::newRow("start refused")
            << true << true << "review" << 409 << QByteArray(R"({"error": "busy right now"})")
            << "/api/record/start"
            << "busy right now";
        QTest::newRow("stop without permissions")
            << false << false << "recording" << 200 << QByteArray("{}") << "/api/record/stop"
            << "";
        QTest::newRow("no answer")
            << true << true << "recording" << 0 << QByteArray() << "/api/record/stop"
            << "no answer from the pipeline";
    }

    void toggleRecording()
    {
        QFETCH(bool, screen);
        QFETCH(bool, accessibility);
        QFETCH(QString, phase);
        QFETCH(int, status);
        QFETCH(QByteArray, answer);
        QFETCH(QString, sentTo);
        QFETCH(QString, error);

        FakeNotificationServer server;
        FakePipeline pipeline;
        pipeline.setAnswer("/api/record/start", {status, answer});
        pipeline.setAnswer("/api/record/stop", {status, answer});
        AppModel model(testOptions());
        model.permissionState = [&](Permission permission) {
            const bool granted = permission == Permission::Screen ? screen : accessibility;
            return granted ? Permission::State::Granted : Permission::State::NotAsked;
        };
        model.client().connectToPipeline(pipeline.port(), "tok");
        model.client().apply(QJsonObject {{"kind", "state"}, {"phase", phase}});
        QSignalSpy changed(&model, &AppModel::lastCommandErrorChanged);

        model.toggleRecording();
        if (sentTo.isEmpty()) {
            QCOMPARE(model.lastCommandError(), std::optional<QString>(error));
            QCOMPARE(
                model.pendingPage(),
                std::optional<AppModel::Page>({{"page", "settings"}, {"section", "permissions"}}));
            QTest::qWait(100);
            QVERIFY(pipeline.requests("/api/record/start").isEmpty());
            return;
        }
        QTRY_VERIFY(!pipeline.requests(sentTo.toUtf8()).isEmpty());
        if (error.isEmpty()) {
            QTest::qWait(100);
            QCOMPARE(model.lastCommandError(), std::nullopt);
            QVERIFY(server.shown.isEmpty());
            return;
        }
        QTRY_COMPARE(model.lastCommandError(), std::optional<QString>(error));
        QTRY_COMPARE(server.shown.size(), 1);
        QCOMPARE(server.shown[0].title, "Velko AI");
        QCOMPARE(server.shown[0].body, error);
    }

    void successClearsAnEarlierError()
    {
        FakePipeline pipeline;
        pipeline.setAnswer("/api/record/start", {500, "{}"});
        AppModel model(testOptions());
        model.permissionState = [](Permission) {
            return Permission::State::Granted;
        };
        model.client().connectToPipeline(pipeline.port(), "tok");
        model.toggleRecording();
        QTRY_COMPARE(model.lastCommandError(), std::optional<QString>("status 500"));
        pipeline.setAnswer("/api/record/start", {200, "{}"});
        model.toggleRecording();
        QTRY_COMPARE(model.lastCommandError(), std::nullopt);
    }

    void quitQuestion_data()
    {
        QTest::addColumn<int>("runs");
        QTest::addColumn<QList<Schedule>>("schedules");
        QTest::addColumn<bool>("paused");
        QTest::addColumn<std::optional<QuitQuestion>>("question");

        const QDateTime now(QDate(2026, 12, 11), QTime(15, 0));
        const QDateTime tomorrow(QDate(2026, 12, 12), QTime(9, 0));
        const QDateTime later(QDate(2026, 12, 20), QTime(18, 30));
        const QList<Schedule> three {{"a", "Later", true, later},
                                     {"b", "Morning", true, tomorrow},
                                     {"c", "Again", true, tomorrow},
                                     {"d", "Off", false, now}};
        const QString keep = "Keep It in the Menu Bar";
        const QString quit = "Quit Anyway";

        QTest::newRow("one run") << 1 << three << false
                                 << std::optional(QuitQuestion {"A workflow is running",
                                                                "Quitting Velko AI stops it now.",
                                                                "Keep Running", "Quit"});
        QTest::newRow("two runs") << 2 << QList<Schedule>() << false
                                  << std::optional(QuitQuestion {"2 workflows are running",
                                                                 "Quitting Velko AI stops it now.",
                                                                 "Keep Running", "Quit"});
        QTest::newRow("three scheduled, earliest tomorrow")
            << 0 << three << false
            << std::optional(QuitQuestion {
                   "Quit Velko AI?",
                   "3 workflows are scheduled. They can't run while Velko is closed — "
                   "“Morning” would miss tomorrow at 9:00 AM.",
                   keep, quit});
        QTest::newRow("one scheduled, later, no time known")
            << 0 << QList<Schedule> {{"a", "Solo", true, std::nullopt}} << false
            << std::optional(QuitQuestion {
                   "Quit Velko AI?",
                   "A workflow is scheduled. They can't run while Velko is closed.", keep, quit});
        QTest::newRow("one scheduled today")
            << 0
            << QList<Schedule> {{"a", "Solo", true, QDateTime(QDate(2026, 12, 11), QTime(17, 5))}}
            << false
            << std::optional(QuitQuestion {"Quit Velko AI?",
                                           "A workflow is scheduled. They can't run while Velko is "
                                           "closed — “Solo” would miss today at 5:05 PM.",
                                           keep, quit});
        QTest::newRow("all paused") << 0 << three << true << std::optional<QuitQuestion>();
        QTest::newRow("none on") << 0 << QList<Schedule> {{"d", "Off", false, now}} << false
                                 << std::optional<QuitQuestion>();
    }

    void quitQuestion()
    {
        QFETCH(int, runs);
        QFETCH(QList<Schedule>, schedules);
        QFETCH(bool, paused);
        QFETCH(std::optional<QuitQuestion>, question);
        const QDateTime now(QDate(2026, 12, 11), QTime(15, 0));
        const auto asked = AppModel::quitQuestion(runs, schedules, paused, now,
                                                  QLocale(QLocale::English, QLocale::UnitedStates));
        QCOMPARE(asked.has_value(), question.has_value());
        if (question) {
            QCOMPARE(asked->message, question->message);
            QCOMPARE(asked->informative, question->informative);
            QCOMPARE(asked->keepButton, question->keepButton);
            QCOMPARE(asked->quitButton, question->quitButton);
        }
    }

    void quitAsksOnlyWhileThePipelineRunsForAnOnboardedUser()
    {
        AppModel model(testOptions());
        int asked = 0;
        model.askToKeepRunning = [&](const QuitQuestion &) {
            return ++asked, true;
        };
        model.client().apply(runs(2));
        QVERIFY(!model.shouldKeepRunning()); // not onboarded, no pipeline
        QCOMPARE(asked, 0);
    }

    void launchWaitsForOnboarding()
    {
        AppModel model(testOptions());
        model.launch();
        model.launch();
        QVERIFY(model.launched());
        QVERIFY(model.host());
        QCOMPARE(model.hostError(), std::nullopt);
        QCOMPARE(model.supervisor().extraEnv().value("VELKO_CAPTURE"), "native");
        QTest::qWait(200);
        QCOMPARE(model.supervisor().phase().kind, SupervisorPhase::Stopped);

        model.finishOnboarding();
        QVERIFY(model.onboarded());
        QVERIFY(QSettings().value("onboarded").toBool());
        QTRY_COMPARE_WITH_TIMEOUT(model.supervisor().phase().kind, SupervisorPhase::Running, 20000);
        QTRY_VERIFY(model.client().connected());
        QVERIFY(AppLogTail::lastLine().startsWith("notifications: authorization "));

        const QString socket = model.host()->path();
        QVERIFY(QFile::exists(socket));
        QVERIFY(model.shutDown().isEmpty());
        QCOMPARE(model.supervisor().phase().kind, SupervisorPhase::Stopped);
        QVERIFY(!QFile::exists(socket));
        QTRY_VERIFY(!model.client().connected());
    }

    void captureBackendSetting_data()
    {
        QTest::addColumn<QVariant>("setting");
        QTest::addColumn<QString>("backend");
        QTest::newRow("absent") << QVariant() << "native";
        QTest::newRow("screenpipe") << QVariant("screenpipe") << "screenpipe";
        QTest::newRow("other case") << QVariant("ScreenPipe") << "native";
        QTest::newRow("other") << QVariant("x") << "native";
    }

    void captureBackendSetting()
    {
        QFETCH(QVariant, setting);
        QFETCH(QString, backend);
        if (setting.isValid())
            QSettings().setValue("captureBackend", setting);
        QCOMPARE(AppModel::captureBackend(), backend);
    }
};

QTEST_MAIN(TestAppModel)
#include "tst_appmodel.moc"
