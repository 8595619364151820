#include "core/HotKey.h"

#include "platform/GlobalShortcut.h"

HotKey::HotKey(Qt::Key key, Qt::KeyboardModifiers modifiers, std::function<void()> action)
    : m_action(std::move(action))
    , m_shortcut(GlobalShortcut::create(key, modifiers, [this] {
        if (m_action)
            m_action();
    }))
{ }

HotKey::~HotKey() = default;
