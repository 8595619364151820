#pragma once

#include <functional>
#include <memory>

#include <Qt>

// One system-wide keyboard shortcut. It delivers presses on the thread that created it, through
// that thread's event loop; destruction releases the shortcut.
class GlobalShortcut
{
public:
    virtual ~GlobalShortcut() = default;

    // Empty when the desktop offers no way to register one. When another application holds the
    // combination, the shortcut exists but never fires.
    static std::unique_ptr<GlobalShortcut> create(Qt::Key key, Qt::KeyboardModifiers modifiers,
                                                  std::function<void()> onPressed);
};
