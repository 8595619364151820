#pragma once

#include <functional>
#include <string>
#include <thread>

#include <xcb/xcb.h>

// A private X connection whose events are read on a thread of its own. xcb is thread-safe, so
// other threads may send requests on connection() while the thread waits for events.
class XcbEventThread
{
public:
    // Connects to $DISPLAY; check ok() before use.
    XcbEventThread();
    ~XcbEventThread(); // stops the thread, then disconnects

    XcbEventThread(const XcbEventThread &) = delete;
    XcbEventThread &operator=(const XcbEventThread &) = delete;

    bool ok() const { return m_connection && !xcb_connection_has_error(m_connection); }
    xcb_connection_t *connection() const { return m_connection; }
    xcb_window_t root() const { return m_root; }
    xcb_atom_t atom(const char *name) const;

    // The handler sees every event but the thread's own wake-up, on the thread "name".
    void start(std::string name, std::function<void(const xcb_generic_event_t *)> handler);

private:
    xcb_connection_t *m_connection = nullptr;
    xcb_window_t m_root = XCB_NONE;
    xcb_window_t m_wake = XCB_NONE;
    std::thread m_thread;
};
