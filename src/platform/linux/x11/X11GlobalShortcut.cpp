#include "platform/linux/x11/X11GlobalShortcut.h"

#include <algorithm>
#include <cstdlib>

#include <xcb/xcb_keysyms.h>

namespace {

// Caps Lock and Num Lock (Mod2 on every common layout) must not keep the shortcut from firing.
constexpr uint16_t LockVariants[] = {0, XCB_MOD_MASK_LOCK, XCB_MOD_MASK_2,
                                     XCB_MOD_MASK_LOCK | XCB_MOD_MASK_2};

xcb_keysym_t keysymFor(Qt::Key key)
{
    if (key >= Qt::Key_A && key <= Qt::Key_Z)
        return 'a' + (key - Qt::Key_A);
    if (key >= Qt::Key_0 && key <= Qt::Key_9)
        return '0' + (key - Qt::Key_0);
    return 0;
}

uint16_t maskFor(Qt::KeyboardModifiers modifiers)
{
    uint16_t mask = 0;
    if (modifiers & Qt::ShiftModifier)
        mask |= XCB_MOD_MASK_SHIFT;
    if (modifiers & Qt::ControlModifier)
        mask |= XCB_MOD_MASK_CONTROL;
    if (modifiers & Qt::AltModifier)
        mask |= XCB_MOD_MASK_1;
    // Super, which stands in for Command.
    if (modifiers & Qt::MetaModifier)
        mask |= XCB_MOD_MASK_4;
    return mask;
}

} // namespace

std::unique_ptr<GlobalShortcut> GlobalShortcut::create(Qt::Key key, Qt::KeyboardModifiers modifiers,
                                                       std::function<void()> onPressed)
{
    auto shortcut = std::make_unique<X11GlobalShortcut>(key, modifiers, std::move(onPressed));
    if (!shortcut->ok())
        return {};
    return shortcut;
}

X11GlobalShortcut::X11GlobalShortcut(Qt::Key key, Qt::KeyboardModifiers modifiers,
                                     std::function<void()> onPressed)
    : m_modifiers(maskFor(modifiers))
    , m_onPressed(std::move(onPressed))
{
    const xcb_keysym_t keysym = keysymFor(key);
    if (!keysym || !m_x.ok())
        return;
    xcb_connection_t *c = m_x.connection();

    xcb_key_symbols_t *symbols = xcb_key_symbols_alloc(c);
    if (xcb_keycode_t *codes = xcb_key_symbols_get_keycode(symbols, keysym)) {
        for (xcb_keycode_t *code = codes; *code != XCB_NO_SYMBOL; ++code)
            m_keycodes.push_back(*code);
        std::free(codes);
    }
    xcb_key_symbols_free(symbols);
    // Errors (another client holds the combination) arrive as events and are ignored there.
    for (xcb_keycode_t code : m_keycodes) {
        for (uint16_t lock : LockVariants)
            xcb_grab_key(c, 1, m_x.root(), m_modifiers | lock, code, XCB_GRAB_MODE_ASYNC,
                         XCB_GRAB_MODE_ASYNC);
    }
    xcb_flush(c);
    m_notifier =
        std::make_unique<QSocketNotifier>(xcb_get_file_descriptor(c), QSocketNotifier::Read);
    QObject::connect(m_notifier.get(), &QSocketNotifier::activated, m_notifier.get(),
                     [this] { onReadable(); });
}

X11GlobalShortcut::~X11GlobalShortcut()
{
    m_notifier.reset();
    if (!m_x.ok())
        return;
    xcb_connection_t *c = m_x.connection();
    for (xcb_keycode_t code : m_keycodes) {
        for (uint16_t lock : LockVariants)
            xcb_ungrab_key(c, code, m_x.root(), m_modifiers | lock);
    }
    std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
}

void X11GlobalShortcut::onReadable()
{
    while (xcb_generic_event_t *event = xcb_poll_for_event(m_x.connection())) {
        const uint8_t type = event->response_type & 0x7f;
        if (type == XCB_KEY_PRESS || type == XCB_KEY_RELEASE) {
            const auto *key = reinterpret_cast<xcb_key_press_event_t *>(event);
            const bool ours =
                std::find(m_keycodes.begin(), m_keycodes.end(), key->detail) != m_keycodes.end();
            if (ours && type == XCB_KEY_RELEASE) {
                m_down = false;
                m_releasedAt = key->time;
            } else if (ours) {
                // Held keys repeat: as a press while down, or as a release and a press sharing
                // one time stamp. Only the first press counts.
                const bool repeat = m_down || key->time == m_releasedAt;
                m_down = true;
                if (!repeat)
                    m_onPressed();
            }
        }
        std::free(event);
    }
    if (!m_x.ok())
        m_notifier->setEnabled(false);
}
