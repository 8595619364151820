// Times the state sampler and the click path on a live desktop (run it under scripts/headless):
//  - a state sample whose front window did not change (goal: median <= 2 ms), and, for
//    comparison, a sample that reports (it reads the accessibility peek);
//  - a click, from the synthetic button press to its "click" line (goal: median <= 30 ms): at the
//    sampler's output, and on the wire, read by a pipeline client of a whole recording.
// The program starts itself a second time as the front window it samples and clicks.
#include "capture/ActivitySampler.h"
#include "capture/ControlClient.h"
#include "capture/HostControl.h"

#include <QApplication>
#include <QGroupBox>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <future>
#include <thread>

#include <xcb/xtest.h>

namespace {

using Clock = std::chrono::steady_clock;

int window(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QWidget w;
    w.setWindowTitle("Bench Window");
    auto *layout = new QVBoxLayout(&w);
    auto *group = new QGroupBox("Form");
    auto *inner = new QVBoxLayout(group);
    auto *button = new QPushButton("Save");
    inner->addWidget(button);
    layout->addWidget(group);
    w.setGeometry(200, 200, 400, 300);
    w.show();
    QTimer::singleShot(200, [&] {
        const QPoint centre = button->mapToGlobal(button->rect().center());
        std::printf("%d %d\n", centre.x(), centre.y());
        std::fflush(stdout);
    });
    return app.exec();
}

void fake(xcb_connection_t *c, uint8_t type, uint8_t detail)
{
    xcb_test_fake_input(c, type, detail, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    xcb_flush(c);
}

double since(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Clicks during a recording over the control socket, timed until the client reads each line.
std::vector<double> clicksOnTheWire(xcb_connection_t *c, int count)
{
    QTemporaryDir dir;
    const QString token(64, 'b');
    HostControl host(dir.filePath("bench.sock"), token);
    host.start();
    ControlClient client(host.path());
    client.send({{"token", token},
                 {"cmd", "start"},
                 {"frames_dir", dir.filePath("frames")},
                 {"audio_dir", dir.filePath("audio")},
                 {"audio", false},
                 {"microphone", false}});
    std::vector<double> latencies;
    if (!client.readUntil("started"))
        return latencies;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    for (int i = 0; i < count; ++i) {
        const auto start = Clock::now();
        fake(c, XCB_BUTTON_PRESS, 1);
        if (!client.readUntil("click", nullptr, 2000))
            return {};
        latencies.push_back(since(start));
        fake(c, XCB_BUTTON_RELEASE, 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    client.send({{"cmd", "stop"}});
    client.readUntil("done", nullptr, 30000);
    return latencies;
}

struct Stats
{
    double median, p90, min;
};

Stats stats(std::vector<double> ms)
{
    std::sort(ms.begin(), ms.end());
    return {ms[ms.size() / 2], ms[ms.size() * 9 / 10], ms.front()};
}

void print(const char *what, const Stats &s, double goal)
{
    std::printf("%-44s median %7.3f ms  p90 %7.3f ms  min %7.3f ms  goal %5.1f ms  "
                "(median/goal %.2f)\n",
                what, s.median, s.p90, s.min, goal, s.median / goal);
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc > 1 && std::string(argv[1]) == "--window")
        return window(argc, argv);

    QCoreApplication app(argc, argv);
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), {"--window"});
    if (!child.waitForReadyRead(10000)) {
        std::fprintf(stderr, "the bench window did not start\n");
        return 1;
    }
    const QStringList centre = QString::fromUtf8(child.readLine()).trimmed().split(' ');
    const QPoint button(centre.value(0).toInt(), centre.value(1).toInt());

    if (!AccessibilityTree::shared().enable())
        std::fprintf(stderr, "accessibility is off: clicks carry no description\n");

    SerialQueue queue("velko.capture.state");
    std::mutex mutex;
    std::promise<void> *clicked = nullptr;
    ActivitySampler::Hooks hooks;
    hooks.emitLine = [&](const QJsonObject &line) {
        std::lock_guard lock(mutex);
        if (clicked && line.value("type").toString() == "click") {
            clicked->set_value();
            clicked = nullptr;
        }
    };
    ActivitySampler sampler(queue, hooks);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    // State samples: the first reports, the rest see the same window.
    const int samples = 400;
    std::vector<double> quiet, reporting;
    queue.sync([&] { sampler.sample("timer"); });
    for (int i = 0; i < samples; ++i) {
        queue.sync([&] {
            const auto start = Clock::now();
            sampler.sample("timer");
            quiet.push_back(
                std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        });
    }
    for (int i = 0; i < samples / 4; ++i) {
        queue.sync([&] {
            const auto start = Clock::now();
            sampler.sample("click");
            reporting.push_back(
                std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        });
    }

    // Clicks through the X server's test extension, as a mouse would.
    sampler.start();
    xcb_connection_t *c = xcb_connect(nullptr, nullptr);
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    xcb_test_fake_input(c, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, root, button.x(), button.y(), 0);
    xcb_flush(c);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::vector<double> clicks;
    for (int i = 0; i < 60; ++i) {
        std::promise<void> done;
        {
            std::lock_guard lock(mutex);
            clicked = &done;
        }
        const auto start = Clock::now();
        fake(c, XCB_BUTTON_PRESS, 1);
        if (done.get_future().wait_for(std::chrono::seconds(2)) != std::future_status::ready) {
            std::fprintf(stderr, "a click was not reported\n");
            return 1;
        }
        clicks.push_back(since(start));
        fake(c, XCB_BUTTON_RELEASE, 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
    }
    sampler.stop();
    const std::vector<double> wire = clicksOnTheWire(c, 40);
    xcb_disconnect(c);
    if (wire.empty()) {
        std::fprintf(stderr, "a click did not reach the wire\n");
        return 1;
    }

    print("state sample, unchanged front window", stats(quiet), 2.0);
    print("state sample that reports (with peek)", stats(reporting), 2.0);
    print("click to its line (sampler output)", stats(clicks), 30.0);
    print("click to its line on the wire (recording)", stats(wire), 30.0);
    std::printf("states reported: %d, clicks reported: %d\n", sampler.stateCount(),
                sampler.clickCount());
    child.kill();
    child.waitForFinished();
    return 0;
}
