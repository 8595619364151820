#pragma once

#include <functional>
#include <memory>

#include <QPoint>

// Sees every left and right mouse-down on the desktop without taking it from anyone.
class ClickListener
{
public:
    enum class Button { Left, Right };
    // t: seconds since 1970 when the press reached the listener; at: the pointer in root-window
    // coordinates at that moment.
    using Handler = std::function<void(Button button, double t, QPoint at)>;

    virtual ~ClickListener() = default; // stops listening

    // The handler runs on the listener's own thread and must return quickly.
    static std::unique_ptr<ClickListener> create(Handler handler);
    // Whether clicks can be observed at all on this desktop.
    static bool available();
};
