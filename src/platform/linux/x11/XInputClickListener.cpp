#include "platform/linux/x11/XInputClickListener.h"

#include <chrono>
#include <cstdlib>

#include <xcb/xinput.h>

std::unique_ptr<ClickListener> ClickListener::create(Handler handler)
{
    auto listener = std::make_unique<XInputClickListener>(std::move(handler));
    if (!listener->start())
        return {};
    return listener;
}

bool ClickListener::available()
{
    XcbEventThread x;
    if (!x.ok())
        return false;
    const xcb_query_extension_reply_t *extension =
        xcb_get_extension_data(x.connection(), &xcb_input_id);
    if (!extension || !extension->present)
        return false;
    auto *version = xcb_input_xi_query_version_reply(
        x.connection(), xcb_input_xi_query_version(x.connection(), 2, 2), nullptr);
    const bool ok = version && version->major_version >= 2;
    std::free(version);
    return ok;
}

XInputClickListener::XInputClickListener(Handler handler)
    : m_handler(std::move(handler))
{ }

bool XInputClickListener::start()
{
    if (!m_x.ok())
        return false;
    xcb_connection_t *c = m_x.connection();
    const xcb_query_extension_reply_t *extension = xcb_get_extension_data(c, &xcb_input_id);
    if (!extension || !extension->present)
        return false;
    m_opcode = extension->major_opcode;
    auto *version =
        xcb_input_xi_query_version_reply(c, xcb_input_xi_query_version(c, 2, 2), nullptr);
    const bool recent = version && version->major_version >= 2;
    std::free(version);
    if (!recent)
        return false;

    struct
    {
        xcb_input_event_mask_t head;
        uint32_t mask;
    } select {{XCB_INPUT_DEVICE_ALL_MASTER, 1}, XCB_INPUT_XI_EVENT_MASK_RAW_BUTTON_PRESS};
    xcb_generic_error_t *error =
        xcb_request_check(c, xcb_input_xi_select_events_checked(c, m_x.root(), 1, &select.head));
    if (error) {
        std::free(error);
        return false;
    }
    m_x.start("velko.clicks", [this](const xcb_generic_event_t *event) { onEvent(event); });
    return true;
}

void XInputClickListener::onEvent(const xcb_generic_event_t *event)
{
    if ((event->response_type & 0x7f) != XCB_GE_GENERIC)
        return;
    const auto *generic = reinterpret_cast<const xcb_ge_generic_event_t *>(event);
    if (generic->extension != m_opcode || generic->event_type != XCB_INPUT_RAW_BUTTON_PRESS)
        return;
    const double t =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    const uint32_t button =
        reinterpret_cast<const xcb_input_raw_button_press_event_t *>(event)->detail;
    if (button != 1 && button != 3)
        return;
    xcb_connection_t *c = m_x.connection();
    auto *pointer = xcb_query_pointer_reply(c, xcb_query_pointer(c, m_x.root()), nullptr);
    if (!pointer)
        return;
    const QPoint at(pointer->root_x, pointer->root_y);
    std::free(pointer);
    m_handler(button == 3 ? Button::Right : Button::Left, t, at);
}
