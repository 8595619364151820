#pragma once

#include "platform/AccessibilityTree.h"

#include <QJsonObject>
#include <QSet>

// Reads the few plain strings a recording needs from the accessibility tree: the control under
// a click, the focused field and its selection, what is under the pointer, a browser's address.
// Best effort: a missing attribute leaves its key out. Points are in root-window coordinates;
// pid names the front application, whose windows are searched.
namespace AXReader {

// Roles of layout containers: a click on one is taken as a click on something inside it.
extern const QSet<QString> containers;

// role, label, value, parent_role, parent_label; empty when the tree cannot be read.
QJsonObject describe(QPoint point, qint64 pid,
                     AccessibilityTree &tree = AccessibilityTree::shared());
// focus_role, focus_title, focus_value, selected_text, hover_role, hover_label, mouse (the
// pointer as given); only ax_unavailable when the tree cannot be read.
QJsonObject peek(qint64 pid, std::optional<QPoint> pointer,
                 AccessibilityTree &tree = AccessibilityTree::shared());
// The http(s) address of the web content in the application's active window.
std::optional<QString> webAreaURL(qint64 pid,
                                  AccessibilityTree &tree = AccessibilityTree::shared());

// Used inside AccessibilityTree::perform().
AccessibleElementPtr descend(const AccessibleElementPtr &element, int depth, QPoint point);
AccessibleElementPtr hitTest(AccessibilityTree &tree, qint64 pid, QPoint point);

} // namespace AXReader
