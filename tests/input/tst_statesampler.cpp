#include "capture/ActivitySampler.h"
#include "capture/AutomationReader.h"

#include <QTest>

#include <unistd.h>

// The sampler's decisions on a scripted desktop: when a state line goes out, what it holds, and
// when the next frame is kept.
namespace {

class ScriptedDesktop final : public DesktopState
{
public:
    std::optional<FrontApp> app;
    quint64 clipboardCount = 0;
    std::optional<QString> clipboard;

    std::optional<FrontApp> frontApp() override { return app; }
    std::optional<QPoint> pointer() override { return QPoint(10, 20); }
    quint64 clipboardChanges() const override { return clipboardCount; }
    std::optional<QString> clipboardText() override { return clipboard; }
    void setActivationHandler(std::function<void()>) override { }
};

// A desktop whose accessibility is turned off.
class ClosedTree final : public AccessibilityTree
{
public:
    bool trusted() override { return false; }
    bool enable() override { return false; }
    void perform(const std::function<void()> &fn) override { fn(); }
    std::vector<AccessibleElementPtr> windows(qint64) override { return {}; }
    AccessibleElementPtr focused(qint64) override { return {}; }
    std::optional<QRect> secureFocusFrame() override { return std::nullopt; }
    void refreshSecureFocus() override { }
};

FrontApp app(const QString &name, const QString &title, qint64 pid = 4242)
{
    FrontApp front;
    front.pid = pid;
    front.name = name;
    front.bundleId = name.toLower();
    front.windowTitle = title;
    return front;
}

} // namespace

class TestStateSampler : public QObject
{
    Q_OBJECT

private slots:
    // Each step changes the desktop, then samples once with a reason; the table says whether a
    // line went out, whether the next frame was asked for, and the clipboard it carried.
    void sampling_data()
    {
        QTest::addColumn<QString>("step");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<bool>("reported");
        QTest::addColumn<bool>("forced");
        QTest::addColumn<QString>("clipboard");

        QTest::newRow("first sample") << ""
                                      << "timer" << true << true << "";
        QTest::newRow("nothing changed") << ""
                                         << "timer" << false << false << "";
        QTest::newRow("after a click") << ""
                                       << "click" << true << false << "";
        QTest::newRow("window title changed") << "title"
                                              << "timer" << true << true << "";
        QTest::newRow("other application") << "app"
                                           << "app" << true << true << "";
        QTest::newRow("text copied") << "copy text"
                                     << "timer" << true << false << "copied";
        QTest::newRow("clipboard only once") << ""
                                             << "timer" << false << false << "";
        QTest::newRow("image copied") << "copy image"
                                      << "timer" << false << false << "";
        QTest::newRow("own window in front") << "own"
                                             << "click" << false << false << "";
        QTest::newRow("no window in front") << "none"
                                            << "click" << false << false << "";
    }

    void sampling()
    {
        QFETCH(QString, step);
        QFETCH(QString, reason);
        QFETCH(bool, reported);
        QFETCH(bool, forced);
        QFETCH(QString, clipboard);

        // One sampler lives through all rows: each row continues where the last one stopped.
        static ScriptedDesktop *desktop = nullptr;
        static SerialQueue queue("velko.capture.state");
        static QList<QJsonObject> lines;
        static int forces = 0;
        static ClosedTree tree;
        static std::unique_ptr<ActivitySampler> sampler;
        if (!sampler) {
            auto scripted = std::make_unique<ScriptedDesktop>();
            desktop = scripted.get();
            desktop->app = app("Editor", "notes.txt");
            ActivitySampler::Hooks hooks;
            hooks.emitLine = [](const QJsonObject &line) {
                lines << line;
            };
            hooks.forceNext = [] {
                ++forces;
            };
            sampler = std::make_unique<ActivitySampler>(queue, hooks, std::move(scripted), tree);
        }

        if (step == "title")
            desktop->app = app("Editor", "todo.txt");
        else if (step == "app")
            desktop->app = app("Browser", "Start page");
        else if (step == "copy text")
            ++desktop->clipboardCount, desktop->clipboard = "copied";
        else if (step == "copy image")
            ++desktop->clipboardCount, desktop->clipboard.reset();
        else if (step == "own")
            desktop->app = app("Velko AI", "Velko AI", ::getpid());
        else if (step == "none")
            desktop->app.reset();

        lines.clear();
        forces = 0;
        queue.sync([&] { sampler->sample(reason); });
        QCOMPARE(lines.size(), reported ? 1 : 0);
        QCOMPARE(forces, forced ? 1 : 0);
        if (!reported)
            return;
        const QJsonObject line = lines.first();
        QCOMPARE(line.value("type").toString(), QString("state"));
        QCOMPARE(line.value("app").toString(), desktop->app->name);
        QCOMPARE(line.value("page_title").toString(), *desktop->app->windowTitle);
        QCOMPARE(line.value("clipboard").toString(), clipboard);
        QCOMPARE(line.contains("clipboard"), !clipboard.isEmpty());
        QCOMPARE(line.value("ax_unavailable").toBool(), true);
    }

    void appNameFallsBack_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("bundle");
        QTest::addColumn<QString>("expected");
        QTest::newRow("display name") << "Editor"
                                      << "editor"
                                      << "Editor";
        QTest::newRow("bundle identifier") << ""
                                           << "editor"
                                           << "editor";
        QTest::newRow("neither") << ""
                                 << ""
                                 << "?";
    }

    void appNameFallsBack()
    {
        QFETCH(QString, name);
        QFETCH(QString, bundle);
        QFETCH(QString, expected);
        auto desktop = std::make_unique<ScriptedDesktop>();
        desktop->app = app(name, "t");
        desktop->app->bundleId = bundle;
        SerialQueue queue("velko.capture.state");
        ClosedTree tree;
        QList<QJsonObject> lines;
        ActivitySampler::Hooks hooks;
        hooks.emitLine = [&](const QJsonObject &line) {
            lines << line;
        };
        ActivitySampler sampler(queue, hooks, std::move(desktop), tree);
        queue.sync([&] { sampler.sample("timer"); });
        QCOMPARE(lines.size(), 1);
        QCOMPARE(lines.first().value("app").toString(), expected);
    }

    void browserNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("windowClass");
        QTest::addColumn<bool>("browser");
        QTest::newRow("display name") << "Google Chrome"
                                      << "" << true;
        QTest::newRow("any letter case") << "FIREFOX"
                                         << "" << true;
        QTest::newRow("window class") << "Web Browser"
                                      << "Chromium" << true;
        QTest::newRow("not a browser") << "Text Editor"
                                       << "gedit" << false;
    }

    void browserNames()
    {
        QFETCH(QString, name);
        QFETCH(QString, windowClass);
        QFETCH(bool, browser);
        FrontApp front = app(name, "t");
        front.windowClass = windowClass;
        QCOMPARE(AutomationReader::isBrowser(front), browser);
        QVERIFY(!AutomationReader::isSheet(front));
    }

    void clicksWithoutAListenerWarn()
    {
        qputenv("DISPLAY", ":4242");
        SerialQueue queue("velko.capture.state");
        ClosedTree tree;
        QList<QJsonObject> lines;
        std::mutex mutex;
        ActivitySampler::Hooks hooks;
        hooks.emitLine = [&](const QJsonObject &line) {
            std::lock_guard lock(mutex);
            lines << line;
        };
        ActivitySampler sampler(queue, hooks, std::make_unique<ScriptedDesktop>(), tree);
        sampler.start();
        sampler.stop();
        std::lock_guard lock(mutex);
        QCOMPARE(lines.size(), 1);
        QCOMPARE(lines.first().value("type").toString(), QString("warning"));
        QCOMPARE(lines.first().value("warning").toString(),
                 QString::fromUtf8("could not create the click listener — Accessibility or Input "
                                   "Monitoring is not granted; clicks will be missing"));
    }
};

QTEST_APPLESS_MAIN(TestStateSampler)
#include "tst_statesampler.moc"
