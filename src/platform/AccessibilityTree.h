#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include <QPoint>
#include <QRect>
#include <QString>

// One element of the desktop's accessibility tree, described in the AX vocabulary ("AXButton",
// "AXTitle", ...) whatever the platform's own, so recordings read the same everywhere. Elements
// are only used inside AccessibilityTree::perform().
class AccessibleElement
{
public:
    virtual ~AccessibleElement() = default;

    // The AX role name; empty when the element has none.
    virtual QString role() const = 0;
    // "AXTitle", "AXDescription", "AXValue", "AXHelp", "AXPlaceholderValue", "AXLabel",
    // "AXSelectedText" or "AXURL": trimmed, absent when empty or unknown.
    virtual std::optional<QString> attribute(const QString &name) const = 0;
    virtual std::shared_ptr<AccessibleElement> parent() const = 0;
    virtual std::vector<std::shared_ptr<AccessibleElement>> children(int limit) const = 0;
    // Bounds in root-window coordinates.
    virtual std::optional<QRect> frame() const = 0;
    // The direct child at a root-window point.
    virtual std::shared_ptr<AccessibleElement> childAt(QPoint point) const = 0;
    // A field whose text is hidden (a password): its value and selection are never read.
    virtual bool isSecure() const = 0;
    virtual bool isFocused() const = 0;
};

using AccessibleElementPtr = std::shared_ptr<AccessibleElement>;

class AccessibilityTree
{
public:
    virtual ~AccessibilityTree() = default;

    // The tree can be read: its bus is reachable and the desktop has accessibility turned on.
    virtual bool trusted() = 0;
    // Turns the desktop's accessibility on where it allows that; true when it is on afterwards.
    virtual bool enable() = 0;
    // Runs fn on the thread that owns the tree and waits for it. Elements never leave fn.
    virtual void perform(const std::function<void()> &fn) = 0;
    // The top-level windows of the application with this process id, the active one first.
    virtual std::vector<AccessibleElementPtr> windows(qint64 pid) = 0;
    // The element of that application that holds the keyboard focus.
    virtual AccessibleElementPtr focused(qint64 pid) = 0;
    // The frame of the focused element anywhere on the desktop when it is a secure field, as
    // focus events and the last refresh left it. Never waits: frames ask it on their own thread.
    virtual std::optional<QRect> secureFocusFrame() = 0;
    // Reads that frame again, since its window may have moved.
    virtual void refreshSecureFocus() = 0;

    static AccessibilityTree &shared();
};
