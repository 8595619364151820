#pragma once

#include "platform/DesktopState.h"
#include "platform/linux/x11/XcbEventThread.h"

#include <atomic>
#include <mutex>

#include <QHash>

// The front application from the window manager's _NET_ACTIVE_WINDOW, activation changes from
// its PropertyNotify, clipboard changes from XFixes selection events.
class X11DesktopState final : public DesktopState
{
public:
    X11DesktopState();
    ~X11DesktopState() override;

    bool start();

    std::optional<FrontApp> frontApp() override;
    std::optional<QPoint> pointer() override;
    quint64 clipboardChanges() const override { return m_clipboardChanges; }
    std::optional<QString> clipboardText() override;
    void setActivationHandler(std::function<void()> handler) override;

private:
    void onEvent(const xcb_generic_event_t *event);
    xcb_window_t readActiveWindow();
    FrontApp describe(xcb_window_t window);

    XcbEventThread m_x;
    xcb_atom_t m_activeAtom = XCB_NONE;
    xcb_atom_t m_pidAtom = XCB_NONE;
    xcb_atom_t m_nameAtom = XCB_NONE;
    xcb_atom_t m_utf8Atom = XCB_NONE;
    xcb_atom_t m_clipboardAtom = XCB_NONE;
    uint8_t m_selectionEvent = 0;
    std::atomic<xcb_window_t> m_active {XCB_NONE};
    std::atomic<quint64> m_clipboardChanges {0};
    std::mutex m_mutex;
    std::function<void()> m_onActivation;
    QHash<xcb_window_t, FrontApp> m_apps;
};
