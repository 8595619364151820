#include "platform/linux/x11/X11DesktopState.h"

#include "platform/linux/DesktopEntries.h"

#include <chrono>
#include <cstdlib>
#include <cstring>

#include <QFile>
#include <QFileInfo>

#include <poll.h>
#include <xcb/xfixes.h>

namespace {

using Clock = std::chrono::steady_clock;
// A clipboard owner that does not answer within this time gives no text.
constexpr auto ClipboardTimeout = std::chrono::milliseconds(500);
// Text beyond this size is not kept: a recording needs to know what was copied, not all of it.
constexpr qsizetype ClipboardLimit = 4 * 1024 * 1024;

struct Property
{
    xcb_atom_t type = XCB_NONE;
    QByteArray data;
};

std::optional<Property> readProperty(xcb_connection_t *c, xcb_window_t window, xcb_atom_t name,
                                     xcb_atom_t type, uint32_t longs = 1 << 20)
{
    auto *reply =
        xcb_get_property_reply(c, xcb_get_property(c, 0, window, name, type, 0, longs), nullptr);
    if (!reply)
        return std::nullopt;
    Property property;
    property.type = reply->type;
    property.data = QByteArray(static_cast<const char *>(xcb_get_property_value(reply)),
                               xcb_get_property_value_length(reply));
    std::free(reply);
    if (property.type == XCB_NONE)
        return std::nullopt;
    return property;
}

QString processName(qint64 pid)
{
    if (pid <= 0)
        return {};
    const QString exe = QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).symLinkTarget();
    if (!exe.isEmpty())
        return QFileInfo(exe).fileName();
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    if (!comm.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(comm.readAll()).trimmed();
}

// Waits on a private connection for the first event the predicate accepts.
xcb_generic_event_t *waitFor(xcb_connection_t *c, Clock::time_point deadline,
                             const std::function<bool(const xcb_generic_event_t *)> &wanted)
{
    for (;;) {
        while (xcb_generic_event_t *event = xcb_poll_for_event(c)) {
            if (wanted(event))
                return event;
            std::free(event);
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || xcb_connection_has_error(c))
            return nullptr;
        pollfd fd {xcb_get_file_descriptor(c), POLLIN, 0};
        ::poll(&fd, 1, static_cast<int>(left.count()));
    }
}

// Asks the clipboard's owner for one target and reads the answer, also when it comes in
// increments (INCR) for large texts.
std::optional<Property> convert(xcb_connection_t *c, xcb_window_t window, xcb_atom_t selection,
                                xcb_atom_t target, xcb_atom_t into, xcb_atom_t incr)
{
    const auto deadline = Clock::now() + ClipboardTimeout;
    xcb_convert_selection(c, window, selection, target, into, XCB_CURRENT_TIME);
    xcb_flush(c);
    xcb_generic_event_t *event = waitFor(c, deadline, [](const xcb_generic_event_t *e) {
        return (e->response_type & 0x7f) == XCB_SELECTION_NOTIFY;
    });
    if (!event)
        return std::nullopt;
    const bool refused =
        reinterpret_cast<xcb_selection_notify_event_t *>(event)->property == XCB_NONE;
    std::free(event);
    if (refused)
        return std::nullopt;
    auto property = readProperty(c, window, into, XCB_GET_PROPERTY_TYPE_ANY);
    xcb_delete_property(c, window, into);
    xcb_flush(c);
    if (!property || property->type != incr)
        return property;
    Property whole;
    for (;;) {
        xcb_generic_event_t *more =
            waitFor(c, Clock::now() + ClipboardTimeout, [&](const xcb_generic_event_t *e) {
                const auto *p = reinterpret_cast<const xcb_property_notify_event_t *>(e);
                return (e->response_type & 0x7f) == XCB_PROPERTY_NOTIFY && p->atom == into &&
                    p->state == XCB_PROPERTY_NEW_VALUE;
            });
        if (!more)
            return std::nullopt;
        std::free(more);
        auto chunk = readProperty(c, window, into, XCB_GET_PROPERTY_TYPE_ANY);
        xcb_delete_property(c, window, into);
        xcb_flush(c);
        if (!chunk || chunk->data.isEmpty())
            return whole;
        whole.type = chunk->type;
        if (whole.data.size() < ClipboardLimit)
            whole.data += chunk->data;
    }
}

} // namespace

std::unique_ptr<DesktopState> DesktopState::create()
{
    auto state = std::make_unique<X11DesktopState>();
    if (!state->start())
        return {};
    return state;
}

X11DesktopState::X11DesktopState() = default;
X11DesktopState::~X11DesktopState() = default;

bool X11DesktopState::start()
{
    if (!m_x.ok())
        return false;
    xcb_connection_t *c = m_x.connection();
    m_activeAtom = m_x.atom("_NET_ACTIVE_WINDOW");
    m_pidAtom = m_x.atom("_NET_WM_PID");
    m_nameAtom = m_x.atom("_NET_WM_NAME");
    m_utf8Atom = m_x.atom("UTF8_STRING");
    m_clipboardAtom = m_x.atom("CLIPBOARD");

    const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_change_window_attributes(c, m_x.root(), XCB_CW_EVENT_MASK, &mask);
    const xcb_query_extension_reply_t *xfixes = xcb_get_extension_data(c, &xcb_xfixes_id);
    if (xfixes && xfixes->present) {
        std::free(xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 5, 0), nullptr));
        m_selectionEvent = xfixes->first_event + XCB_XFIXES_SELECTION_NOTIFY;
        xcb_xfixes_select_selection_input(c, m_x.root(), m_clipboardAtom,
                                          XCB_XFIXES_SELECTION_EVENT_MASK_SET_SELECTION_OWNER);
    }
    m_active = readActiveWindow();
    m_x.start("velko.desktop", [this](const xcb_generic_event_t *event) { onEvent(event); });
    return true;
}

xcb_window_t X11DesktopState::readActiveWindow()
{
    const auto property =
        readProperty(m_x.connection(), m_x.root(), m_activeAtom, XCB_ATOM_WINDOW, 1);
    if (!property || property->data.size() < 4)
        return XCB_NONE;
    xcb_window_t window;
    std::memcpy(&window, property->data.constData(), sizeof window);
    return window;
}

void X11DesktopState::onEvent(const xcb_generic_event_t *event)
{
    const uint8_t type = event->response_type & 0x7f;
    if (type == XCB_PROPERTY_NOTIFY) {
        const auto *notify = reinterpret_cast<const xcb_property_notify_event_t *>(event);
        if (notify->window != m_x.root() || notify->atom != m_activeAtom)
            return;
        const xcb_window_t window = readActiveWindow();
        if (m_active.exchange(window) == window)
            return;
        std::function<void()> handler;
        {
            std::lock_guard lock(m_mutex);
            handler = m_onActivation;
        }
        if (handler)
            handler();
    } else if (m_selectionEvent && type == m_selectionEvent) {
        const auto *notify = reinterpret_cast<const xcb_xfixes_selection_notify_event_t *>(event);
        if (notify->selection == m_clipboardAtom && notify->owner != XCB_NONE)
            ++m_clipboardChanges;
    }
}

void X11DesktopState::setActivationHandler(std::function<void()> handler)
{
    std::lock_guard lock(m_mutex);
    m_onActivation = std::move(handler);
}

FrontApp X11DesktopState::describe(xcb_window_t window)
{
    xcb_connection_t *c = m_x.connection();
    FrontApp app;
    if (const auto pid = readProperty(c, window, m_pidAtom, XCB_ATOM_CARDINAL, 1);
        pid && pid->data.size() >= 4) {
        quint32 value;
        std::memcpy(&value, pid->data.constData(), sizeof value);
        app.pid = value;
    }
    QString instance;
    if (const auto wmClass = readProperty(c, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 64)) {
        // Two strings, each ended by a zero byte: the instance, then the class.
        const QList<QByteArray> parts = wmClass->data.split('\0');
        instance = parts.value(0).isEmpty() ? QString() : QString::fromLocal8Bit(parts.value(0));
        app.windowClass = QString::fromLocal8Bit(parts.value(1));
    }
    app.bundleId = instance;
    const QString process = processName(app.pid);
    if (auto entry = DesktopEntries::nameFor({app.windowClass, instance, process}))
        app.name = *entry;
    else if (!app.windowClass.isEmpty())
        app.name = app.windowClass;
    else
        app.name = process;
    return app;
}

std::optional<FrontApp> X11DesktopState::frontApp()
{
    const xcb_window_t window = m_active;
    if (window == XCB_NONE)
        return std::nullopt;
    FrontApp app;
    {
        std::lock_guard lock(m_mutex);
        auto it = m_apps.constFind(window);
        if (it == m_apps.cend()) {
            // Only the front window is kept: a reused window id never finds an old answer.
            m_apps.clear();
            it = m_apps.insert(window, describe(window));
        }
        app = *it;
    }
    xcb_connection_t *c = m_x.connection();
    if (auto title = readProperty(c, window, m_nameAtom, m_utf8Atom))
        app.windowTitle = QString::fromUtf8(title->data).trimmed();
    else if (auto legacy = readProperty(c, window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING))
        app.windowTitle = QString::fromLatin1(legacy->data).trimmed();
    if (app.windowTitle && app.windowTitle->isEmpty())
        app.windowTitle.reset();
    return app;
}

std::optional<QPoint> X11DesktopState::pointer()
{
    xcb_connection_t *c = m_x.connection();
    auto *reply = xcb_query_pointer_reply(c, xcb_query_pointer(c, m_x.root()), nullptr);
    if (!reply)
        return std::nullopt;
    const QPoint at(reply->root_x, reply->root_y);
    std::free(reply);
    return at;
}

std::optional<QString> X11DesktopState::clipboardText()
{
    // A connection of its own: the answer comes as events, which only this call may read.
    XcbEventThread x;
    if (!x.ok())
        return std::nullopt;
    xcb_connection_t *c = x.connection();
    const xcb_window_t window = xcb_generate_id(c);
    const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window, x.root(), 0, 0, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &mask);
    const xcb_atom_t clipboard = x.atom("CLIPBOARD");
    const xcb_atom_t targetsAtom = x.atom("TARGETS");
    const xcb_atom_t utf8 = x.atom("UTF8_STRING");
    const xcb_atom_t textAtom = x.atom("TEXT");
    const xcb_atom_t incr = x.atom("INCR");
    const xcb_atom_t into = x.atom("VELKO_CLIPBOARD");

    std::optional<QString> text;
    if (const auto targets = convert(c, window, clipboard, targetsAtom, into, incr)) {
        const auto *atoms = reinterpret_cast<const xcb_atom_t *>(targets->data.constData());
        const qsizetype count = targets->data.size() / qsizetype(sizeof(xcb_atom_t));
        bool hasUtf8 = false;
        bool hasLatin1 = false;
        for (qsizetype i = 0; i < count; ++i) {
            hasUtf8 = hasUtf8 || atoms[i] == utf8;
            hasLatin1 = hasLatin1 || atoms[i] == XCB_ATOM_STRING || atoms[i] == textAtom;
        }
        if (hasUtf8) {
            if (const auto value = convert(c, window, clipboard, utf8, into, incr))
                text = QString::fromUtf8(value->data.left(ClipboardLimit));
        } else if (hasLatin1) {
            if (const auto value = convert(c, window, clipboard, XCB_ATOM_STRING, into, incr))
                text = QString::fromLatin1(value->data.left(ClipboardLimit));
        }
    }
    return text;
}
