#pragma once

#include <functional>
#include <memory>

#include <Qt>

class GlobalShortcut;

// One system-wide keyboard shortcut that runs an action whichever application is in front.
// Create it on the main thread: the action runs there. Destruction releases the shortcut. When
// another application holds the combination, it silently does nothing.
class HotKey
{
public:
    HotKey(Qt::Key key, Qt::KeyboardModifiers modifiers, std::function<void()> action);
    ~HotKey();

    HotKey(const HotKey &) = delete;
    HotKey &operator=(const HotKey &) = delete;

    // Whether the desktop took the registration.
    bool registered() const { return m_shortcut != nullptr; }

private:
    std::function<void()> m_action;
    std::unique_ptr<GlobalShortcut> m_shortcut;
};
