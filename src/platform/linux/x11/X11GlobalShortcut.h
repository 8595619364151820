#pragma once

#include "platform/GlobalShortcut.h"
#include "platform/linux/x11/XcbEventThread.h"

#include <vector>

#include <QSocketNotifier>

// A passive key grab on the root window, on a connection of its own watched by the creating
// thread's event loop (the connection's own thread is never started). The grab is repeated with
// Caps Lock and Num Lock on, since X compares the modifier state exactly.
class X11GlobalShortcut final : public GlobalShortcut
{
public:
    X11GlobalShortcut(Qt::Key key, Qt::KeyboardModifiers modifiers,
                      std::function<void()> onPressed);
    ~X11GlobalShortcut() override;

    bool ok() const { return m_notifier != nullptr; }

private:
    void onReadable();

    XcbEventThread m_x;
    uint16_t m_modifiers = 0;
    std::vector<xcb_keycode_t> m_keycodes;
    std::function<void()> m_onPressed;
    std::unique_ptr<QSocketNotifier> m_notifier;
    bool m_down = false;
    xcb_timestamp_t m_releasedAt = 0;
};
