#include "TestApp.h"

#include "core/HotKey.h"

// The global shortcut Control+Alt+Super+R on the X display, pressed with xdotool.
class TestHotKey : public QObject
{
    Q_OBJECT

private:
    static bool press(const QString &combination = "ctrl+alt+super+r")
    {
        return xdotool({"key", combination});
    }

private slots:
    void pressRunsTheAction_data()
    {
        QTest::addColumn<QString>("lock");
        QTest::newRow("plain") << QString();
        QTest::newRow("caps lock on") << "Caps_Lock";
        QTest::newRow("num lock on") << "Num_Lock";
    }

    void pressRunsTheAction()
    {
        QFETCH(QString, lock);
        int runs = 0;
        HotKey hotKey(Qt::Key_R, Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier,
                      [&] { ++runs; });
        QVERIFY(hotKey.registered());
        if (!lock.isEmpty())
            QVERIFY(xdotool({"key", lock}));
        QVERIFY(press());
        QTRY_COMPARE(runs, 1);
        // Another combination of the same key does nothing.
        QVERIFY(press("ctrl+alt+r"));
        QTest::qWait(300);
        QCOMPARE(runs, 1);
        if (!lock.isEmpty())
            QVERIFY(xdotool({"key", lock}));
    }

    void destructionReleases()
    {
        int runs = 0;
        {
            HotKey hotKey(Qt::Key_R, Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier,
                          [&] { ++runs; });
            QVERIFY(press());
            QTRY_COMPARE(runs, 1);
        }
        QVERIFY(press());
        QTest::qWait(500);
        QCOMPARE(runs, 1);
        // Released for good: another registration gets the key.
        int again = 0;
        HotKey next(Qt::Key_R, Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier,
                    [&] { ++again; });
        QVERIFY(press());
        QTRY_COMPARE(again, 1);
    }

    void heldByAnotherClientDoesNothing()
    {
        int first = 0;
        int second = 0;
        HotKey holder(Qt::Key_R, Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier,
                      [&] { ++first; });
        HotKey late(Qt::Key_R, Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier,
                    [&] { ++second; });
        QVERIFY(press());
        QTRY_COMPARE(first, 1);
        QTest::qWait(300);
        QCOMPARE(second, 0);
    }
};

QTEST_GUILESS_MAIN(TestHotKey)
#include "tst_hotkey.moc"
