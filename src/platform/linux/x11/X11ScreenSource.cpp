#include "platform/linux/x11/X11ScreenSource.h"

#include <QPainter>

#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

namespace {

template<typename T>
using Reply = std::unique_ptr<T, decltype(&std::free)>;

template<typename T>
Reply<T> reply(T *value)
{
    return Reply<T>(value, &std::free);
}

// Our own windows are cached this long: looking them up costs several round trips.
constexpr int ownWindowsMaxAgeMs = 1000;
constexpr QRgb neutralGrey = 0xff808080;

} // namespace

X11ScreenSource::~X11ScreenSource()
{
    releaseSegment();
    if (m_conn)
        xcb_disconnect(m_conn);
}

bool X11ScreenSource::connect()
{
    if (m_conn)
        return m_usable;
    int screenNumber = 0;
    m_conn = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(m_conn)) {
        m_failure = QStringLiteral("could not open the X display");
        return false;
    }
    const xcb_setup_t *setup = xcb_get_setup(m_conn);
    auto roots = xcb_setup_roots_iterator(setup);
    for (int i = 0; i < screenNumber && roots.rem; ++i)
        xcb_screen_next(&roots);
    if (!roots.rem)
        return false;
    m_screen = roots.data;

    // Grabs are read as 4-byte B, G, R, X pixels: only a 32-bit true-colour root qualifies.
    bool fourBytes = false;
    for (auto formats = xcb_setup_pixmap_formats_iterator(setup); formats.rem;
         xcb_format_next(&formats)) {
        if (formats.data->depth == m_screen->root_depth)
            fourBytes = formats.data->bits_per_pixel == 32;
    }
    const auto shm =
        reply(xcb_shm_query_version_reply(m_conn, xcb_shm_query_version(m_conn), nullptr));
    m_usable = fourBytes && shm && setup->image_byte_order == XCB_IMAGE_ORDER_LSB_FIRST;

    const auto fixes = reply(
        xcb_xfixes_query_version_reply(m_conn, xcb_xfixes_query_version(m_conn, 4, 0), nullptr));
    m_pointer = fixes && fixes->major_version >= 1;
    m_pidAtom = atom("_NET_WM_PID");
    m_clientListAtom = atom("_NET_CLIENT_LIST");
    return m_usable;
}

bool X11ScreenSource::accessible()
{
    return connect();
}

xcb_atom_t X11ScreenSource::atom(const char *name)
{
    const auto value = reply(xcb_intern_atom_reply(
        m_conn, xcb_intern_atom(m_conn, 0, uint16_t(strlen(name)), name), nullptr));
    return value ? value->atom : xcb_atom_t(XCB_ATOM_NONE);
}

QList<ScreenSource::Monitor> X11ScreenSource::monitors()
{
    QList<Monitor> result;
    if (!connect())
        return result;
    const auto listed = reply(xcb_randr_get_monitors_reply(
        m_conn, xcb_randr_get_monitors(m_conn, m_screen->root, 1), nullptr));
    if (listed) {
        for (auto it = xcb_randr_get_monitors_monitors_iterator(listed.get()); it.rem;
             xcb_randr_monitor_info_next(&it)) {
            const xcb_randr_monitor_info_t *info = it.data;
            Monitor monitor;
            monitor.rect = QRect(info->x, info->y, info->width, info->height);
            monitor.primary = info->primary;
            if (xcb_randr_monitor_info_outputs_length(info) > 0)
                monitor.id = xcb_randr_monitor_info_outputs(info)[0];
            const auto name = reply(
                xcb_get_atom_name_reply(m_conn, xcb_get_atom_name(m_conn, info->name), nullptr));
            if (name)
                monitor.name = QString::fromLatin1(xcb_get_atom_name_name(name.get()),
                                                   xcb_get_atom_name_name_length(name.get()));
            result.append(monitor);
        }
    }
    if (result.isEmpty())
        result.append({QStringLiteral("screen"),
                       QRect(0, 0, m_screen->width_in_pixels, m_screen->height_in_pixels), 0,
                       true});
    // A monitor without an output (a split of one screen) comes after those with one, left to
    // right.
    std::stable_sort(result.begin(), result.end(), [](const Monitor &a, const Monitor &b) {
        if (a.primary != b.primary)
            return a.primary;
        if ((a.id == 0) != (b.id == 0))
            return a.id != 0;
        if (a.id != b.id)
            return a.id < b.id;
        return std::pair(a.rect.x(), a.rect.y()) < std::pair(b.rect.x(), b.rect.y());
    });
    return result;
}

bool X11ScreenSource::ensureSegment(size_t bytes)
{
    if (m_memory && m_size >= bytes)
        return true;
    releaseSegment();
    m_shmId = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    if (m_shmId < 0)
        return false;
    void *memory = shmat(m_shmId, nullptr, 0);
    if (memory == reinterpret_cast<void *>(-1)) {
        shmctl(m_shmId, IPC_RMID, nullptr);
        m_shmId = -1;
        return false;
    }
    m_memory = static_cast<uchar *>(memory);
    m_size = bytes;
    m_segment = xcb_generate_id(m_conn);
    const auto error = reply(
        xcb_request_check(m_conn, xcb_shm_attach_checked(m_conn, m_segment, uint32_t(m_shmId), 0)));
    // Marked for removal once the server holds it: the segment goes away with both of us.
    shmctl(m_shmId, IPC_RMID, nullptr);
    if (error) {
        shmdt(m_memory);
        m_memory = nullptr;
        m_size = 0;
        m_segment = 0;
        return false;
    }
    return true;
}

void X11ScreenSource::releaseSegment()
{
    if (!m_memory)
        return;
    if (m_conn && !xcb_connection_has_error(m_conn)) {
        xcb_shm_detach(m_conn, m_segment);
        xcb_flush(m_conn);
    }
    shmdt(m_memory);
    m_memory = nullptr;
    m_size = 0;
    m_segment = 0;
}

QImage X11ScreenSource::grab(const QRect &requested)
{
    if (m_failure || !connect())
        return {};
    const QRect rect =
        requested & QRect(0, 0, m_screen->width_in_pixels, m_screen->height_in_pixels);
    if (rect.isEmpty())
        return {};
    const size_t bytes = size_t(rect.width()) * size_t(rect.height()) * 4;
    if (!ensureSegment(bytes)) {
        if (xcb_connection_has_error(m_conn))
            m_failure = QStringLiteral("the connection to the X display was lost");
        return {};
    }
    const auto cookie = xcb_shm_get_image(
        m_conn, m_screen->root, int16_t(rect.x()), int16_t(rect.y()), uint16_t(rect.width()),
        uint16_t(rect.height()), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, m_segment, 0);
    const auto image = reply(xcb_shm_get_image_reply(m_conn, cookie, nullptr));
    if (!image) {
        if (xcb_connection_has_error(m_conn))
            m_failure = QStringLiteral("the connection to the X display was lost");
        return {};
    }
    QImage frame(m_memory, rect.width(), rect.height(), rect.width() * 4, QImage::Format_RGB32);
    coverOwnWindows(frame, rect.topLeft());
    drawPointer(frame, rect.topLeft());
    return frame;
}

void X11ScreenSource::drawPointer(QImage &image, const QPoint &origin)
{
    if (!m_pointer)
        return;
    const auto cursor = reply(
        xcb_xfixes_get_cursor_image_reply(m_conn, xcb_xfixes_get_cursor_image(m_conn), nullptr));
    if (!cursor)
        return;
    const uint32_t *pixels = xcb_xfixes_get_cursor_image_cursor_image(cursor.get());
    const int left = cursor->x - cursor->xhot - origin.x();
    const int top = cursor->y - cursor->yhot - origin.y();
    // The cursor's pixels are premultiplied ARGB: over = source + destination · (1 − alpha).
    for (int row = 0; row < cursor->height; ++row) {
        const int y = top + row;
        if (y < 0 || y >= image.height())
            continue;
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int column = 0; column < cursor->width; ++column) {
            const int x = left + column;
            if (x < 0 || x >= image.width())
                continue;
            const uint32_t source = pixels[row * cursor->width + column];
            const uint32_t alpha = source >> 24;
            if (alpha == 0)
                continue;
            const QRgb below = line[x];
            const auto over = [&](int shift) {
                const uint32_t s = (source >> shift) & 0xff;
                const uint32_t d = (below >> shift) & 0xff;
                return std::min<uint32_t>(255, s + d * (255 - alpha) / 255) << shift;
            };
            line[x] = 0xff000000 | over(16) | over(8) | over(0);
        }
    }
}

QList<QRect> X11ScreenSource::ownWindows()
{
    if (m_ownAge.isValid() && m_ownAge.elapsed() < ownWindowsMaxAgeMs)
        return m_own;
    m_ownAge.start();
    m_own.clear();
    if (m_pidAtom == XCB_ATOM_NONE)
        return m_own;

    // Managed windows are listed by the window manager (their frames are the root's children);
    // unmanaged ones (menus, tool tips) are the root's children themselves.
    QList<xcb_window_t> candidates;
    const auto clients = reply(xcb_get_property_reply(
        m_conn,
        xcb_get_property(m_conn, 0, m_screen->root, m_clientListAtom, XCB_ATOM_WINDOW, 0, 4096),
        nullptr));
    if (clients && clients->format == 32) {
        const auto *ids = static_cast<const xcb_window_t *>(xcb_get_property_value(clients.get()));
        candidates.append(
            QList<xcb_window_t>(ids, ids + xcb_get_property_value_length(clients.get()) / 4));
    }
    const auto tree =
        reply(xcb_query_tree_reply(m_conn, xcb_query_tree(m_conn, m_screen->root), nullptr));
    if (tree) {
        const xcb_window_t *children = xcb_query_tree_children(tree.get());
        candidates.append(
            QList<xcb_window_t>(children, children + xcb_query_tree_children_length(tree.get())));
    }

    QList<xcb_get_property_cookie_t> pids;
    for (xcb_window_t window : candidates)
        pids.append(xcb_get_property(m_conn, 0, window, m_pidAtom, XCB_ATOM_CARDINAL, 0, 1));
    const uint32_t ownPid = uint32_t(::getpid());
    QList<xcb_window_t> own;
    for (qsizetype i = 0; i < candidates.size(); ++i) {
        const auto pid = reply(xcb_get_property_reply(m_conn, pids[i], nullptr));
        if (pid && pid->format == 32 && xcb_get_property_value_length(pid.get()) == 4 &&
            *static_cast<const uint32_t *>(xcb_get_property_value(pid.get())) == ownPid)
            own.append(candidates[i]);
    }
    for (xcb_window_t window : own) {
        const auto attributes = reply(xcb_get_window_attributes_reply(
            m_conn, xcb_get_window_attributes(m_conn, window), nullptr));
        if (!attributes || attributes->map_state != XCB_MAP_STATE_VIEWABLE)
            continue;
        const auto geometry =
            reply(xcb_get_geometry_reply(m_conn, xcb_get_geometry(m_conn, window), nullptr));
        const auto position = reply(xcb_translate_coordinates_reply(
            m_conn, xcb_translate_coordinates(m_conn, window, m_screen->root, 0, 0), nullptr));
        if (geometry && position)
            m_own.append(
                QRect(position->dst_x, position->dst_y, geometry->width, geometry->height));
    }
    return m_own;
}

void X11ScreenSource::coverOwnWindows(QImage &image, const QPoint &origin)
{
    const QList<QRect> windows = ownWindows();
    if (windows.isEmpty())
        return;
    QPainter painter(&image);
    for (const QRect &window : windows)
        painter.fillRect(window.translated(-origin), QColor::fromRgb(neutralGrey));
}

std::optional<QString> X11ScreenSource::failure() const
{
    return m_failure;
}
