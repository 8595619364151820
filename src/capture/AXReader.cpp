#include "capture/AXReader.h"

#include <QJsonArray>

namespace AXReader {

namespace {

constexpr int DescendDepth = 7;
constexpr int DescendChildren = 60;
constexpr int WebAreaVisits = 400;
constexpr int WebAreaDepth = 11;
// The direct-child search cannot loop in a sound tree; this keeps a broken one from doing so.
constexpr int HitDepth = 64;

const QStringList LabelAttributes {"AXTitle", "AXDescription",      "AXValue",
                                   "AXHelp",  "AXPlaceholderValue", "AXLabel"};
const QStringList ClickLabel {"AXTitle", "AXDescription", "AXValue", "AXHelp",
                              "AXPlaceholderValue"};
const QStringList ParentLabel {"AXTitle", "AXDescription"};
const QStringList FocusTitle {"AXTitle", "AXDescription", "AXPlaceholderValue"};
const QStringList HoverLabel {"AXTitle", "AXDescription", "AXValue"};

std::optional<QString> first(const AccessibleElement &element, const QStringList &names)
{
    for (const QString &name : names) {
        if (auto value = element.attribute(name))
            return value;
    }
    return std::nullopt;
}

bool labelledControl(const AccessibleElement &element)
{
    return !containers.contains(element.role()) && first(element, LabelAttributes).has_value();
}

void put(QJsonObject &map, const char *key, const std::optional<QString> &value)
{
    if (value)
        map.insert(QLatin1String(key), *value);
}

void putRole(QJsonObject &map, const char *key, const AccessibleElement &element)
{
    const QString role = element.role();
    if (!role.isEmpty())
        map.insert(QLatin1String(key), role);
}

} // namespace

const QSet<QString> containers {"AXScrollArea", "AXGroup",      "AXWebArea",  "AXWindow",
                                "AXSplitGroup", "AXLayoutArea", "AXTabGroup", "AXToolbar",
                                "AXList",       "AXOutline",    "AXTable",    "AXUnknown",
                                "AXApplication"};

AccessibleElementPtr descend(const AccessibleElementPtr &element, int depth, QPoint point)
{
    if (depth >= DescendDepth)
        return element;
    AccessibleElementPtr best = element;
    for (const auto &child : element->children(DescendChildren)) {
        const auto frame = child->frame();
        if (!frame || !frame->contains(point))
            continue;
        auto found = descend(child, depth + 1, point);
        if (labelledControl(*found))
            return found;
        best = std::move(found);
    }
    return best;
}

AccessibleElementPtr hitTest(AccessibilityTree &tree, qint64 pid, QPoint point)
{
    for (const auto &window : tree.windows(pid)) {
        const auto frame = window->frame();
        if (!frame || !frame->contains(point))
            continue;
        AccessibleElementPtr hit = window;
        for (int depth = 0; depth < HitDepth; ++depth) {
            auto child = hit->childAt(point);
            if (!child)
                break;
            hit = std::move(child);
        }
        return hit;
    }
    return {};
}

QJsonObject describe(QPoint point, qint64 pid, AccessibilityTree &tree)
{
    QJsonObject map;
    if (!tree.trusted())
        return map;
    tree.perform([&] {
        const auto hit = hitTest(tree, pid, point);
        if (!hit)
            return;
        const auto chosen = labelledControl(*hit) ? hit : descend(hit, 0, point);
        putRole(map, "role", *chosen);
        put(map, "label", first(*chosen, ClickLabel));
        if (!chosen->isSecure())
            put(map, "value", chosen->attribute("AXValue"));
        if (const auto parent = chosen->parent()) {
            putRole(map, "parent_role", *parent);
            put(map, "parent_label", first(*parent, ParentLabel));
        }
    });
    return map;
}

QJsonObject peek(qint64 pid, std::optional<QPoint> pointer, AccessibilityTree &tree)
{
    QJsonObject map;
    if (!tree.trusted()) {
        map.insert(QLatin1String("ax_unavailable"), true);
        return map;
    }
    tree.perform([&] {
        if (const auto focus = tree.focused(pid)) {
            putRole(map, "focus_role", *focus);
            put(map, "focus_title", first(*focus, FocusTitle));
            if (!focus->isSecure()) {
                put(map, "focus_value", focus->attribute("AXValue"));
                auto selected = focus->attribute("AXSelectedText");
                if (!selected) {
                    for (const auto &child : focus->children(DescendChildren)) {
                        if (child->isFocused() && !child->isSecure()) {
                            selected = child->attribute("AXSelectedText");
                            break;
                        }
                    }
                }
                put(map, "selected_text", selected);
            }
        }
        if (!pointer)
            return;
        if (const auto hover = hitTest(tree, pid, *pointer)) {
            putRole(map, "hover_role", *hover);
            put(map, "hover_label", first(*hover, HoverLabel));
        }
        map.insert(QLatin1String("mouse"), QJsonArray {pointer->x(), pointer->y()});
    });
    return map;
}

std::optional<QString> webAreaURL(qint64 pid, AccessibilityTree &tree)
{
    std::optional<QString> url;
    if (!tree.trusted())
        return url;
    tree.perform([&] {
        const auto tops = tree.windows(pid);
        if (tops.empty())
            return;
        std::vector<std::pair<AccessibleElementPtr, int>> stack {{tops.front(), 0}};
        for (int visits = 0; !stack.empty() && visits < WebAreaVisits; ++visits) {
            auto [element, depth] = std::move(stack.back());
            stack.pop_back();
            if (element->role() == QLatin1String("AXWebArea")) {
                const auto address = element->attribute("AXURL");
                if (address && address->startsWith(QLatin1String("http"))) {
                    url = address;
                    return;
                }
            }
            if (depth <= WebAreaDepth) {
                for (auto &child : element->children(std::numeric_limits<int>::max()))
                    stack.emplace_back(std::move(child), depth + 1);
            }
        }
    });
    return url;
}

} // namespace AXReader
