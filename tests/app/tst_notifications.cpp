#include "app/AppLogTail.h"
#include "app/FakeDesktop.h"
#include "app/NotificationPresenter.h"
#include "platform/linux/dbus/DBusNotifications.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using Outcome = PipelineClient::Outcome;
Q_DECLARE_METATYPE(PipelineClient::Outcome)

class TestNotifications : public QObject
{
    Q_OBJECT

    QTemporaryDir m_state;

private slots:
    void initTestCase() { qputenv("XDG_STATE_HOME", m_state.path().toUtf8()); }

    void outcomeReachesTheServer_data()
    {
        QTest::addColumn<Outcome>("outcome");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("body");
        QTest::addColumn<QString>("open");

        QTest::newRow("ready") << Outcome::workflowReady("Send invoices")
                               << "Workflow ready to review"
                               << "Send invoices"
                               << "";
        QTest::newRow("could not read")
            << Outcome::couldNotRead("too short") << "Could not read the process"
            << "The recording is kept — open Velko AI and press Retry. too short"
            << "";
        QTest::newRow("failed") << Outcome::failed("disk full") << "Velko AI"
                                << "disk full"
                                << "";
        QTest::newRow("needs you")
            << Outcome::needsYou("Invoices", "Which account?") << "Invoices needs your help"
            << "Which account?"
            << "run";
        QTest::newRow("needs you, no question")
            << Outcome::needsYou("Invoices", "") << "Invoices needs your help"
            << "It stopped to ask you something — open Velko AI to answer."
            << "run";
        QTest::newRow("notice") << Outcome::notice("Heads up", "") << "Heads up"
                                << ""
                                << "";
    }

    void outcomeReachesTheServer()
    {
        QFETCH(Outcome, outcome);
        QFETCH(QString, title);
        QFETCH(QString, body);
        QFETCH(QString, open);

        FakeNotificationServer server;
        QVERIFY(server.registered());
        NotificationPresenter presenter(new DBusNotifications);
        QSignalSpy clicked(&presenter, &NotificationPresenter::clicked);
        QCoro::waitFor(presenter.notify(outcome));

        QCOMPARE(server.shown.size(), 1);
        const ShownNotification shown = server.shown.first();
        QCOMPARE(shown.appName, "Velko AI");
        QCOMPARE(shown.title, title);
        QCOMPARE(shown.body, body);
        QVERIFY(shown.actions.contains("default"));
        QCOMPARE(AppLogTail::lastLine(), QString("notification \"%1\": delivered").arg(title));

        // A click on another action, or on a notification it never showed, is not its own.
        server.click(shown.id, "other");
        server.click(shown.id + 7);
        server.click(shown.id);
        QTRY_COMPARE(clicked.size(), 1);
        QCOMPARE(clicked.first().first().toMap().value("open").toString(), open);
        QTest::qWait(50);
        QCOMPARE(clicked.size(), 1);
    }

    void closedNotificationsAreForgotten()
    {
        FakeNotificationServer server;
        NotificationPresenter presenter(new DBusNotifications);
        QSignalSpy clicked(&presenter, &NotificationPresenter::clicked);
        QCoro::waitFor(presenter.notify(Outcome::failed("x")));
        server.close(1);
        QTest::qWait(100);
        server.click(1);
        QTest::qWait(100);
        QVERIFY(clicked.isEmpty());
    }

    void withoutAServer()
    {
        NotificationPresenter presenter(new DBusNotifications);
        QCoro::waitFor(presenter.notify(Outcome::workflowReady("W")));
        QVERIFY2(AppLogTail::lastLine().startsWith("notification \"Workflow ready to review\": not "
                                                   "delivered — "),
                 qPrintable(AppLogTail::lastLine()));
        QVERIFY(AppLogTail::lastLine().size() >
                QString("notification \"Workflow ready to review\": not "
                        "delivered — ")
                    .size());
        QCoro::waitFor(presenter.requestAuthorization());
        QVERIFY(AppLogTail::lastLine().startsWith("notifications: authorization not granted — "));
    }

    void authorizationWithAServer()
    {
        FakeNotificationServer server;
        NotificationPresenter presenter(new DBusNotifications);
        QCoro::waitFor(presenter.requestAuthorization());
        QCOMPARE(AppLogTail::lastLine(), "notifications: authorization granted");
    }
};

QTEST_GUILESS_MAIN(TestNotifications)
#include "tst_notifications.moc"
