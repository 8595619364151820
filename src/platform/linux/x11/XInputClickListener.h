#pragma once

#include "platform/ClickListener.h"
#include "platform/linux/x11/XcbEventThread.h"

// XInput 2 raw button presses on the root window: they reach every client, whoever holds a
// grab, and are never taken from the application they are meant for. Raw events carry no
// position, so the pointer is read as each one arrives.
class XInputClickListener final : public ClickListener
{
public:
    explicit XInputClickListener(Handler handler);

    // False when the display lacks XInput 2.2.
    bool start();

private:
    void onEvent(const xcb_generic_event_t *event);

    XcbEventThread m_x;
    Handler m_handler;
    uint8_t m_opcode = 0;
};
