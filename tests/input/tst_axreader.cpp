#include "TestApp.h"

#include "capture/AXReader.h"

#include <QDBusConnection>
#include <QDBusInterface>
#include <QJsonArray>

// The accessibility reader against a real Qt window over AT-SPI.
class TestAXReader : public QObject
{
    Q_OBJECT

private:
    TestApp m_app;

    static void setEnabled(bool on)
    {
        QDBusInterface bus("org.a11y.Bus", "/org/a11y/bus", "org.freedesktop.DBus.Properties");
        bus.call("Set", "org.a11y.Status", "IsEnabled", QVariant::fromValue(QDBusVariant(on)));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(AccessibilityTree::shared().enable());
        QVERIFY(m_app.ready());
    }

    void describe_data()
    {
        QTest::addColumn<QString>("control");
        QTest::addColumn<QPoint>("offset");
        QTest::addColumn<QJsonObject>("expected");
        QTest::newRow("titled button in a group") << "save" << QPoint()
                                                  << QJsonObject {{"role", "AXButton"},
                                                                  {"label", "Save"},
                                                                  {"parent_role", "AXGroup"},
                                                                  {"parent_label", "Form"}};
        QTest::newRow("field known by its placeholder")
            << "name" << QPoint() << QJsonObject {{"role", "AXTextField"}, {"label", "Your name"}};
        // Qt names a control inside a group box after the group.
        QTest::newRow("numeric value as decimal text") << "slider" << QPoint()
                                                       << QJsonObject {{"role", "AXSlider"},
                                                                       {"value", "42"},
                                                                       {"label", "Form"},
                                                                       {"parent_role", "AXGroup"},
                                                                       {"parent_label", "Form"}};
        QTest::newRow("password field has no value")
            << "password" << QPoint() << QJsonObject {{"role", "AXTextField"}};
        // Below the slider the group is empty: nothing inside contains the point, so the group
        // itself is the answer.
        QTest::newRow("empty area of a container")
            << "slider" << QPoint(0, 30) << QJsonObject {{"role", "AXGroup"}, {"label", "Form"}};
    }

    void describe()
    {
        QFETCH(QString, control);
        QFETCH(QPoint, offset);
        QFETCH(QJsonObject, expected);
        QJsonObject found = AXReader::describe(m_app.centre(control) + offset, m_app.pid());
        // The parent of the window and of top-level controls depends on the toolkit.
        if (!expected.contains("parent_role")) {
            found.remove("parent_role");
            found.remove("parent_label");
        }
        QCOMPARE(found, expected);
    }

    void outsideEveryWindow()
    {
        QCOMPARE(AXReader::describe(QPoint(1900, 1070), m_app.pid()), QJsonObject());
        QCOMPARE(AXReader::describe(m_app.centre("save"), 999999), QJsonObject());
    }

    void peek_data()
    {
        QTest::addColumn<QString>("control");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QJsonObject>("expected");
        QTest::newRow("text field") << "name"
                                    << "hello"
                                    << QJsonObject {{"focus_role", "AXTextField"},
                                                    {"focus_title", "Your name"},
                                                    {"focus_value", "hello"},
                                                    {"hover_role", "AXTextField"},
                                                    {"hover_label", "Your name"}};
        QTest::newRow("password field never shows its text")
            << "password"
            << "secret"
            << QJsonObject {{"focus_role", "AXTextField"}, {"hover_role", "AXTextField"}};
    }

    void peek()
    {
        QFETCH(QString, control);
        QFETCH(QString, typed);
        QFETCH(QJsonObject, expected);
        const QPoint point = m_app.centre(control);
        QVERIFY(clickAt(point));
        QVERIFY(xdotool({"type", "--delay", "20", typed}));
        QJsonObject found;
        // Focus and text reach the tree as events; give them a moment.
        QTRY_VERIFY_WITH_TIMEOUT((found = AXReader::peek(m_app.pid(), point),
                                  found.value("focus_role") == expected.value("focus_role") &&
                                      found.value("focus_value") == expected.value("focus_value")),
                                 5000);
        expected.insert("mouse", QJsonArray {point.x(), point.y()});
        QCOMPARE(found, expected);
    }

    void selectedText()
    {
        const QPoint point = m_app.centre("name");
        QVERIFY(clickAt(point));
        QVERIFY(xdotool({"key", "ctrl+a"}));
        QVERIFY(xdotool({"type", "--delay", "20", "one two"}));
        QVERIFY(xdotool({"key", "shift+Home"}));
        QTRY_COMPARE_WITH_TIMEOUT(
            AXReader::peek(m_app.pid(), std::nullopt).value("selected_text").toString(),
            QString("one two"), 5000);
    }

    void secureFocusFrame()
    {
        QVERIFY(clickAt(m_app.centre("password")));
        QTRY_COMPARE_WITH_TIMEOUT(AccessibilityTree::shared().secureFocusFrame(),
                                  std::optional<QRect>(m_app.rect("password")), 5000);
        QVERIFY(clickAt(m_app.centre("name")));
        QTRY_COMPARE_WITH_TIMEOUT(AccessibilityTree::shared().secureFocusFrame(),
                                  std::optional<QRect>(), 5000);
    }

    // Last: it turns the desktop's accessibility off and on again.
    void unavailableWhenTurnedOff()
    {
        setEnabled(false);
        QTRY_VERIFY_WITH_TIMEOUT(!AccessibilityTree::shared().trusted(), 3000);
        QCOMPARE(AXReader::describe(m_app.centre("save"), m_app.pid()), QJsonObject());
        QCOMPARE(AXReader::peek(m_app.pid(), m_app.centre("save")),
                 QJsonObject({{"ax_unavailable", true}}));
        QCOMPARE(AXReader::webAreaURL(m_app.pid()), std::nullopt);
        QVERIFY(AccessibilityTree::shared().enable());
    }
};

QTEST_GUILESS_MAIN(TestAXReader)
#include "tst_axreader.moc"
