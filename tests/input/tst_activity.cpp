#include "TestApp.h"

#include "capture/ActivitySampler.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QJsonArray>
#include <QWindow>

#include <mutex>

// Clicks and application state on the real desktop: xdotool clicks the test window, the
// sampler writes lines as the recorder would send them.
class TestActivity : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TestApp> m_app;
    std::unique_ptr<SerialQueue> m_queue;
    std::unique_ptr<ActivitySampler> m_sampler;
    std::mutex m_mutex;
    QList<QJsonObject> m_lines;
    std::atomic<int> m_forced {0};

    QList<QJsonObject> lines(const QString &type = {})
    {
        std::lock_guard lock(m_mutex);
        QList<QJsonObject> found;
        for (const QJsonObject &line : std::as_const(m_lines)) {
            if (type.isEmpty() || line.value("type").toString() == type)
                found << line;
        }
        return found;
    }
    void clear()
    {
        m_queue->drain();
        std::lock_guard lock(m_mutex);
        m_lines.clear();
        m_forced = 0;
    }

private slots:
    void initTestCase()
    {
        // An installed application entry names the test window's program.
        const QString applications = qEnvironmentVariable("XDG_DATA_HOME") + "/applications";
        QVERIFY(QDir().mkpath(applications));
        QFile entry(applications + "/velko-test-tool.desktop");
        QVERIFY(entry.open(QIODevice::WriteOnly));
        entry.write("[Desktop Entry]\nType=Application\nName=Velko Test Tool\nExec=" VELKO_TESTAPP
                    "\n");
        entry.close();
        QVERIFY(AccessibilityTree::shared().enable());
        m_app = std::make_unique<TestApp>();
        QVERIFY(m_app->ready());
    }

    void init()
    {
        QVERIFY(xdotool({"search", "--name", "^Velko Test Window$", "windowactivate", "--sync"}));
        m_queue = std::make_unique<SerialQueue>("velko.capture.state");
        ActivitySampler::Hooks hooks;
        hooks.emitLine = [this](const QJsonObject &line) {
            std::lock_guard lock(m_mutex);
            m_lines << line;
        };
        hooks.forceNext = [this] {
            ++m_forced;
        };
        hooks.displayIndex = [](QPoint p) {
            return QRect(0, 0, 1920, 1080).contains(p) ? std::optional<int>(1) : std::nullopt;
        };
        m_sampler = std::make_unique<ActivitySampler>(*m_queue, hooks);
        m_sampler->start();
        // The first sample reports the state as it is.
        QTRY_COMPARE(lines("state").size(), 1);
        clear();
    }

    void cleanup()
    {
        m_sampler.reset();
        m_queue.reset();
        std::lock_guard lock(m_mutex);
        m_lines.clear();
    }

    void signature_data()
    {
        QTest::addColumn<QJsonObject>("state");
        QTest::addColumn<QString>("expected");
        const QChar sep(0x0001);
        QTest::newRow("all five") << QJsonObject {{"app", "A"},
                                                  {"url", "u"},
                                                  {"page_title", "p"},
                                                  {"workbook", "w"},
                                                  {"selection", "s"}}
                                  << QString("A%1u%1p%1w%1s").arg(sep);
        QTest::newRow("absent values are empty; other keys ignored")
            << QJsonObject {{"app", "A"},
                            {"sheet", "x"},
                            {"clipboard", "c"},
                            {"focus_value", "f"},
                            {"mouse", QJsonArray {1, 2}}}
            << QString("A%1%1%1%1").arg(sep);
    }

    void signature()
    {
        QFETCH(QJsonObject, state);
        QFETCH(QString, expected);
        QCOMPARE(ActivitySampler::signature(state), expected);
    }

    void clickOnButton_data()
    {
        QTest::addColumn<int>("button");
        QTest::addColumn<QString>("action");
        QTest::newRow("left") << 1 << "click";
        QTest::newRow("right") << 3 << "right-click";
    }

    void clickOnButton()
    {
        QFETCH(int, button);
        QFETCH(QString, action);
        const QPoint at = m_app->centre("save");
        QVERIFY(clickAt(at, button));
        QTRY_COMPARE(lines("click").size(), 1);
        QTRY_COMPARE(lines("state").size(), 1);
        const QJsonObject click = lines("click").first();
        QCOMPARE(click.value("action").toString(), action);
        QCOMPARE(click.value("x").toInt(), at.x());
        QCOMPARE(click.value("y").toInt(), at.y());
        QCOMPARE(click.value("display").toInt(), 1);
        QCOMPARE(click.value("app").toString(), lines("state").first().value("app").toString());
        QVERIFY(!click.value("app").toString().isEmpty());
        QCOMPARE(click.value("role").toString(), QString("AXButton"));
        QCOMPARE(click.value("label").toString(), QString("Save"));
        QCOMPARE(click.value("parent_role").toString(), QString("AXGroup"));
        QCOMPARE(click.value("parent_label").toString(), QString("Form"));
        QVERIFY(click.value("t").toDouble() <= lines("state").first().value("t").toDouble());
        // The click line comes first, and it asked for the next frame.
        QCOMPARE(lines().first().value("type").toString(), QString("click"));
        QVERIFY(m_forced >= 1);
        QCOMPARE(m_sampler->clickCount(), 1);
    }

    void frontApplication()
    {
        const auto desktop = DesktopState::create();
        QVERIFY(desktop);
        const std::optional<FrontApp> app = desktop->frontApp();
        QVERIFY(app);
        QCOMPARE(app->pid, m_app->pid());
        QCOMPARE(app->name, QString("Velko Test Tool"));
        QCOMPARE(app->bundleId, QString("velko_input_testapp"));
        QCOMPARE(app->windowTitle, std::optional<QString>("Velko Test Window"));
    }

    void clickOutsideEveryDisplay()
    {
        // The pointer cannot leave the screen; the display hook decides, and says none.
        auto queue = std::make_unique<SerialQueue>("velko.capture.state");
        QList<QJsonObject> seen;
        std::mutex mutex;
        ActivitySampler::Hooks hooks;
        hooks.emitLine = [&](const QJsonObject &line) {
            std::lock_guard lock(mutex);
            seen << line;
        };
        hooks.displayIndex = [](QPoint) {
            return std::optional<int>();
        };
        {
            ActivitySampler sampler(*queue, hooks);
            queue->sync([&] { sampler.onClick(ClickListener::Button::Left, 1.5, QPoint(5, 5)); });
        }
        std::lock_guard lock(mutex);
        QVERIFY(!seen.isEmpty());
        QCOMPARE(seen.first().value("type").toString(), QString("click"));
        QVERIFY(!seen.first().contains("display"));
        QCOMPARE(seen.first().value("t").toDouble(), 1.5);
    }

    void clickInOwnWindowIsDropped()
    {
        QWindow own;
        own.setTitle("Own Window");
        own.resize(200, 200);
        own.show();
        QVERIFY(xdotool({"search", "--name", "^Own Window$", "windowactivate", "--sync"}));
        QTRY_VERIFY(own.isActive());
        clear();
        QVERIFY(clickAt(own.geometry().center()));
        QTest::qWait(1200);
        QCOMPARE(lines(), QList<QJsonObject>());
        QCOMPARE(m_forced.load(), 0);
    }

    void copyGivesOneClipboard()
    {
        QVERIFY(clickAt(m_app->centre("copy")));
        QTRY_COMPARE(lines("click").size(), 1);
        // The copy lands right after the click's own state: wait two sampling periods.
        QTest::qWait(1200);
        int withClipboard = 0;
        for (const QJsonObject &line : lines("state")) {
            if (line.contains("clipboard")) {
                ++withClipboard;
                QCOMPARE(line.value("clipboard").toString(), QString("copied text"));
            }
        }
        QCOMPARE(withClipboard, 1);
    }

    void switchingWindowsGivesState()
    {
        TestApp second("Second Window");
        QVERIFY(second.ready());
        const auto shown = [this] {
            const QList<QJsonObject> states = lines("state");
            return std::any_of(states.cbegin(), states.cend(), [](const QJsonObject &line) {
                return line.value("page_title").toString() == "Second Window";
            });
        };
        QTRY_VERIFY(shown());
        QVERIFY(m_forced >= 1);
        clear();
        // Nothing changes: the sampler stays quiet.
        QTest::qWait(1200);
        QCOMPARE(lines(), QList<QJsonObject>());
    }

    void passwordFieldIsCovered()
    {
        QVERIFY(clickAt(m_app->centre("password")));
        QVERIFY(xdotool({"type", "--delay", "20", "secret"}));
        QTRY_COMPARE(m_sampler->secureFrame(), std::optional<QRect>(m_app->rect("password")));
        for (const QJsonObject &line : lines("state")) {
            QVERIFY(!line.contains("focus_value"));
            QVERIFY(!line.contains("selected_text"));
        }
        QVERIFY(clickAt(m_app->centre("name")));
        QTRY_COMPARE(m_sampler->secureFrame(), std::optional<QRect>());
    }
};

QTEST_MAIN(TestActivity)
#include "tst_activity.moc"
