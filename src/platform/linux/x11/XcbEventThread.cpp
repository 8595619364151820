#include "platform/linux/x11/XcbEventThread.h"

#include <cstdlib>
#include <cstring>

#include <pthread.h>

XcbEventThread::XcbEventThread()
{
    int screenNumber = 0;
    m_connection = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(m_connection))
        return;
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(m_connection));
    for (int i = 0; i < screenNumber && screens.rem; ++i)
        xcb_screen_next(&screens);
    if (!screens.rem)
        return;
    m_root = screens.data->root;
    // An unmapped window of our own that only ever receives the stop message.
    m_wake = xcb_generate_id(m_connection);
    xcb_create_window(m_connection, XCB_COPY_FROM_PARENT, m_wake, m_root, 0, 0, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
    xcb_flush(m_connection);
}

XcbEventThread::~XcbEventThread()
{
    if (m_thread.joinable()) {
        xcb_client_message_event_t stop;
        std::memset(&stop, 0, sizeof stop);
        stop.response_type = XCB_CLIENT_MESSAGE;
        stop.format = 32;
        stop.window = m_wake;
        stop.type = XCB_ATOM_NONE;
        xcb_send_event(m_connection, 0, m_wake, XCB_EVENT_MASK_NO_EVENT,
                       reinterpret_cast<const char *>(&stop));
        xcb_flush(m_connection);
        m_thread.join();
    }
    if (m_connection)
        xcb_disconnect(m_connection);
}

xcb_atom_t XcbEventThread::atom(const char *name) const
{
    xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(
        m_connection, xcb_intern_atom(m_connection, 0, std::strlen(name), name), nullptr);
    if (!reply)
        return XCB_ATOM_NONE;
    const xcb_atom_t atom = reply->atom;
    std::free(reply);
    return atom;
}

void XcbEventThread::start(std::string name,
                           std::function<void(const xcb_generic_event_t *)> handler)
{
    m_thread = std::thread([this, name = std::move(name), handler = std::move(handler)] {
        pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
        while (xcb_generic_event_t *event = xcb_wait_for_event(m_connection)) {
            const bool stop = (event->response_type & 0x7f) == XCB_CLIENT_MESSAGE &&
                reinterpret_cast<xcb_client_message_event_t *>(event)->window == m_wake;
            if (!stop)
                handler(event);
            std::free(event);
            if (stop)
                return;
        }
    });
}
