#include "capture/ControlClient.h"
#include "capture/HostControl.h"
#include "core/Permission.h"
#include "platform/linux/x11/X11ScreenSource.h"

#include <QImageReader>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <xcb/xcb.h>

#include <unistd.h>

namespace {

const QString token = QString(64, 'c');

QImage readFrame(const QJsonObject &line)
{
    return QImageReader(line.value("path").toString()).read();
}

bool near(QRgb a, QRgb b)
{
    return qAbs(qRed(a) - qRed(b)) < 12 && qAbs(qGreen(a) - qGreen(b)) < 12 &&
        qAbs(qBlue(a) - qBlue(b)) < 12;
}

// The shared display, drawn on directly.
class SharedDisplay
{
public:
    SharedDisplay()
    {
        m_conn = xcb_connect(nullptr, nullptr);
        m_screen = xcb_setup_roots_iterator(xcb_get_setup(m_conn)).data;
    }
    ~SharedDisplay() { xcb_disconnect(m_conn); }

    void paintRoot(QRgb colour)
    {
        const uint32_t pixel = colour & 0xffffff;
        xcb_change_window_attributes(m_conn, m_screen->root, XCB_CW_BACK_PIXEL, &pixel);
        xcb_clear_area(m_conn, 0, m_screen->root, 0, 0, 0, 0);
        xcb_aux_sync();
    }

    void movePointer(int x, int y)
    {
        xcb_warp_pointer(m_conn, XCB_NONE, m_screen->root, 0, 0, 0, 0, int16_t(x), int16_t(y));
        xcb_aux_sync();
    }

    // An unmanaged window; with `pid` it counts as that process's window.
    xcb_window_t window(const QRect &rect, QRgb colour, std::optional<pid_t> pid = {})
    {
        const xcb_window_t window = xcb_generate_id(m_conn);
        const uint32_t values[] = {colour & 0xffffff, 1};
        xcb_create_window(m_conn, XCB_COPY_FROM_PARENT, window, m_screen->root, int16_t(rect.x()),
                          int16_t(rect.y()), uint16_t(rect.width()), uint16_t(rect.height()), 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, m_screen->root_visual,
                          XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
        if (pid) {
            const char name[] = "_NET_WM_PID";
            auto *atom = xcb_intern_atom_reply(
                m_conn, xcb_intern_atom(m_conn, 0, sizeof name - 1, name), nullptr);
            const uint32_t value = uint32_t(*pid);
            xcb_change_property(m_conn, XCB_PROP_MODE_REPLACE, window, atom->atom,
                                XCB_ATOM_CARDINAL, 32, 1, &value);
            free(atom);
        }
        xcb_map_window(m_conn, window);
        xcb_aux_sync();
        return window;
    }

    void repaint(xcb_window_t window, QRgb colour)
    {
        const uint32_t pixel = colour & 0xffffff;
        xcb_change_window_attributes(m_conn, window, XCB_CW_BACK_PIXEL, &pixel);
        xcb_clear_area(m_conn, 0, window, 0, 0, 0, 0);
        xcb_aux_sync();
    }

    void destroy(xcb_window_t window)
    {
        xcb_destroy_window(m_conn, window);
        xcb_aux_sync();
    }

private:
    void xcb_aux_sync()
    {
        free(xcb_get_input_focus_reply(m_conn, xcb_get_input_focus(m_conn), nullptr));
    }

    xcb_connection_t *m_conn;
    xcb_screen_t *m_screen;
};

bool xrandr(const QStringList &arguments)
{
    return QProcess::execute("xrandr", arguments) == 0;
}

} // namespace

class TestScreenRecording : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    SharedDisplay m_display;

    QJsonObject startLine(const QString &name, int display = 1) const
    {
        return {{"token", token},
                {"cmd", "start"},
                {"display", display},
                {"frames_dir", m_dir.filePath(name + "/frames")},
                {"audio_dir", m_dir.filePath(name + "/audio")},
                {"audio", false},
                {"microphone", false}};
    }

private slots:
    void recordsChangedFramesOfTheDisplay()
    {
        QCOMPARE(Permission(Permission::Screen).state(), Permission::State::Granted);
        // Another application's window on the left half of a grey screen, and one of ours.
        m_display.paintRoot(qRgb(128, 128, 128));
        m_display.movePointer(1900, 1060);
        const xcb_window_t other = m_display.window(QRect(0, 0, 960, 1080), qRgb(20, 90, 160));
        const QRect ownRect(100, 100, 400, 300);
        const xcb_window_t own = m_display.window(ownRect, qRgb(255, 0, 0), ::getpid());
        const auto close = qScopeGuard([&] {
            m_display.destroy(own);
            m_display.destroy(other);
        });
        const auto scaled = [](QPoint point) {
            return point * 1600 / 1920;
        };

        HostControl host(m_dir.filePath("host.sock"), token);
        host.start();
        ControlClient client(host.path());
        client.send(startLine("real"));
        QCOMPARE(client.readLine()->value("type").toString(), QString("started"));

        std::optional<QJsonObject> frame = client.readUntil("frame");
        QVERIFY(frame);
        QImage image = readFrame(*frame);
        QCOMPARE(image.size(), QSize(1600, 900)); // 1920×1080 scaled to 1600 wide
        QVERIFY(near(image.pixel(scaled({700, 540})), qRgb(20, 90, 160)));
        QVERIFY(near(image.pixel(scaled({1400, 540})), qRgb(128, 128, 128)));
        // Our own window is covered grey, never shown.
        QVERIFY2(near(image.pixel(scaled(ownRect.center())), qRgb(128, 128, 128)),
                 qPrintable(QString::number(image.pixel(scaled(ownRect.center())), 16)));

        // State lines may come (an active window is sampled); frames may not.
        QVERIFY2(!client.readUntil("frame", nullptr, 1200), "an unchanged screen gave a frame");

        m_display.repaint(other, qRgb(230, 200, 40));
        frame = client.readUntil("frame", nullptr, 3000);
        QVERIFY(frame);
        image = readFrame(*frame);
        QVERIFY(near(image.pixel(scaled({700, 540})), qRgb(230, 200, 40)));
        QVERIFY(near(image.pixel(scaled(ownRect.center())), qRgb(128, 128, 128)));

        client.send({{"cmd", "stop"}});
        const std::optional<QJsonObject> done = client.readUntil("done");
        QVERIFY(done);
        const int frames = done->value("verify").toObject().value("frames").toInt();
        QCOMPARE(frames, QDir(m_dir.filePath("real/frames")).entryList(QDir::Files).size());
        QCOMPARE(frames, 2);
    }

    void pointerIsDrawnIn()
    {
        m_display.paintRoot(qRgb(255, 255, 255));
        m_display.movePointer(300, 300);
        X11ScreenSource source;
        const QImage image = source.grab(QRect(280, 280, 60, 60));
        QCOMPARE(image.size(), QSize(60, 60));
        int marked = 0;
        for (int y = 0; y < 60; ++y)
            for (int x = 0; x < 60; ++x)
                marked += (image.pixel(x, y) & 0xffffff) != 0xffffff;
        QVERIFY2(marked > 20, qPrintable(QString::number(marked)));
    }

    void monitorOrderAndChoice()
    {
        QVERIFY(xrandr({"--setmonitor", "LEFT", "960/254x1080/286+0+0", "screen"}));
        QVERIFY(xrandr({"--setmonitor", "RIGHT", "960/254x1080/286+960+0", "none"}));
        const auto restore = qScopeGuard([] {
            xrandr({"--delmonitor", "LEFT"});
            xrandr({"--delmonitor", "RIGHT"});
        });
        X11ScreenSource source;
        const QList<ScreenSource::Monitor> monitors = source.monitors();
        QCOMPARE(monitors.size(), 2);
        QCOMPARE(monitors[0].name, QString("LEFT"));
        QCOMPARE(monitors[1].rect, QRect(960, 0, 960, 1080));

        m_display.paintRoot(qRgb(0, 0, 0));
        HostControl host(m_dir.filePath("host2.sock"), token);
        host.start();
        ControlClient client(host.path());
        client.send(startLine("right", 2));
        const std::optional<QJsonObject> frame = client.readUntil("frame");
        QVERIFY(frame);
        QCOMPARE(readFrame(*frame).size(), QSize(960, 1080));
        client.send({{"cmd", "stop"}});
        QVERIFY(client.readUntil("done"));
    }

    void unreachableDisplayIsAPermissionRefusal()
    {
        const QByteArray display = qgetenv("DISPLAY");
        qputenv("DISPLAY", ":4242");
        const auto restore = qScopeGuard([&] { qputenv("DISPLAY", display); });
        HostControl host(m_dir.filePath("host3.sock"), token);
        host.start();
        ControlClient client(host.path());
        client.send(startLine("refused"));
        QCOMPARE(Permission(Permission::Screen).state(), Permission::State::NotAsked);
        QCOMPARE(
            client.readLine().value_or(QJsonObject()),
            (QJsonObject {{"type", "error"},
                          {"error", "Screen Recording is not allowed for this copy of Velko AI"},
                          {"fatal", true},
                          {"permission", "screen"}}));
    }
};

QTEST_GUILESS_MAIN(TestScreenRecording)
#include "tst_screenrecording.moc"
