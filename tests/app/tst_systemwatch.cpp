#include "app/FakeDesktop.h"
#include "platform/linux/ClockWatch.h"
#include "platform/linux/dbus/Logind.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

class TestSystemWatch : public QObject
{
    Q_OBJECT

private slots:
    void logindSignals()
    {
        FakeLogind fake;
        QVERIFY(fake.registered());
        Logind logind(QDBusConnection::sessionBus());
        QSignalSpy woke(&logind, &Logind::woke);
        QSignalSpy poweringOff(&logind, &Logind::poweringOff);
        QSignalSpy unlocked(&logind, &Logind::unlocked);
        QTest::qWait(200); // the session lookup and the signal matches settle

        fake.sendPrepareForSleep(true);
        fake.sendPrepareForShutdown(false);
        fake.sendLockedHint(true);
        fake.sendPrepareForSleep(false);
        fake.sendPrepareForShutdown(true);
        fake.sendUnlock();
        fake.sendLockedHint(false);
        QTRY_COMPARE(unlocked.size(), 2);
        QCOMPARE(woke.size(), 1);
        QCOMPARE(poweringOff.size(), 1);
    }

    void inhibitorIsHeldOnceAndReleased()
    {
        FakeLogind fake;
        Logind logind(QDBusConnection::sessionBus());
        logind.inhibitIdleSleep("A workflow is running");
        logind.inhibitIdleSleep("A workflow is running");
        QTRY_VERIFY(logind.holdsInhibitor());
        QCOMPARE(fake.inhibitCalls, 1);
        QCOMPARE(fake.lastInhibit,
                 (QStringList {"idle:sleep", "Velko AI", "A workflow is running", "block"}));
        QVERIFY(fake.inhibitorHeld());

        logind.releaseIdleSleep();
        QVERIFY(!logind.holdsInhibitor());
        QTRY_VERIFY(!fake.inhibitorHeld());
    }

    void releasedWhileAsking()
    {
        FakeLogind fake;
        Logind logind(QDBusConnection::sessionBus());
        logind.inhibitIdleSleep("A workflow is running");
        logind.releaseIdleSleep();
        QTRY_COMPARE(fake.inhibitCalls, 1);
        QTest::qWait(100);
        QVERIFY(!logind.holdsInhibitor());
        QVERIFY(!fake.inhibitorHeld());
    }

    void withoutLogind()
    {
        Logind logind(QDBusConnection::sessionBus());
        QSignalSpy failed(&logind, &Logind::inhibitFailed);
        logind.inhibitIdleSleep("A workflow is running");
        QTRY_COMPARE(failed.size(), 1);
        QVERIFY(!failed.first().first().toString().isEmpty());
        QVERIFY(!logind.holdsInhibitor());
        // It asks again next time.
        logind.inhibitIdleSleep("A workflow is running");
        QTRY_COMPARE(failed.size(), 2);
    }

    void timeZoneChange()
    {
        QTemporaryDir dir;
        const QString zones = dir.filePath("zones");
        QDir().mkpath(zones);
        QFile::copy(QFINDTESTDATA("tst_systemwatch.cpp"), zones + "/Berlin");
        QFile::copy(QFINDTESTDATA("FakeDesktop.cpp"), zones + "/Tokyo");
        const QString localtime = dir.filePath("localtime");
        QVERIFY(QFile::link(zones + "/Berlin", localtime));

        ClockWatch watch(localtime);
        QSignalSpy changed(&watch, &ClockWatch::timeZoneChanged);
        // Replaced the way the system does it: a new link renamed over the old one.
        QVERIFY(QFile::link(zones + "/Tokyo", localtime + ".new"));
        QVERIFY(::rename(qPrintable(localtime + ".new"), qPrintable(localtime)) == 0);
        QTRY_COMPARE(changed.size(), 1);
        QVERIFY(QFile::link(zones + "/Berlin", localtime + ".new"));
        QVERIFY(::rename(qPrintable(localtime + ".new"), qPrintable(localtime)) == 0);
        QTRY_COMPARE(changed.size(), 2);
        // Other files in the folder are no change of zone.
        QFile other(dir.filePath("hostname"));
        QVERIFY(other.open(QIODevice::WriteOnly));
        other.write("x");
        other.close();
        QTest::qWait(200);
        QCOMPARE(changed.size(), 2);
    }
};

QTEST_GUILESS_MAIN(TestSystemWatch)
#include "tst_systemwatch.moc"
