#include "platform/linux/atspi/AtspiTree.h"

#include <future>

// glib names a structure member "signals", which Qt defines as a keyword.
#pragma push_macro("signals")
#undef signals
#include <atspi/atspi.h>
#include <gio/gio.h>
#pragma pop_macro("signals")

#include <pthread.h>

namespace {

using namespace std::chrono_literals;

// How long the answer about the desktop's accessibility switch is reused.
constexpr auto EnabledTtl = 1s;
// An application missing from the list is looked for again after this long: one that has just
// started is found by the next click, one without accessibility costs little.
constexpr auto AppsTtl = 200ms;
// Enough for any real window; it keeps a broken tree from walking forever.
constexpr int FocusWalkLimit = 400;

template<typename T>
struct GFree
{
    void operator()(T *p) const { g_free(p); }
};
using GString_ = std::unique_ptr<gchar, GFree<gchar>>;

struct ObjectUnref
{
    void operator()(gpointer p) const
    {
        if (p)
            g_object_unref(p);
    }
};
template<typename T>
using GRef = std::unique_ptr<T, ObjectUnref>;

struct Error
{
    GError *error = nullptr;
    ~Error() { g_clear_error(&error); }
    GError **operator&() { return &error; }
    bool failed() const { return error != nullptr; }
};

// The one mapping from AT-SPI roles to the AX role names recordings carry.
QString axRole(AtspiRole role, bool multiLine)
{
    switch (role) {
    case ATSPI_ROLE_APPLICATION:
        return QStringLiteral("AXApplication");
    case ATSPI_ROLE_FRAME:
    case ATSPI_ROLE_WINDOW:
    case ATSPI_ROLE_DIALOG:
    case ATSPI_ROLE_ALERT:
    case ATSPI_ROLE_FILE_CHOOSER:
    case ATSPI_ROLE_COLOR_CHOOSER:
        return QStringLiteral("AXWindow");
    case ATSPI_ROLE_FILLER:
    case ATSPI_ROLE_PANEL:
    case ATSPI_ROLE_GROUPING:
    case ATSPI_ROLE_SECTION:
    case ATSPI_ROLE_FORM:
    case ATSPI_ROLE_PAGE:
    case ATSPI_ROLE_STATUS_BAR:
    case ATSPI_ROLE_INTERNAL_FRAME:
    case ATSPI_ROLE_ROOT_PANE:
    case ATSPI_ROLE_LAYERED_PANE:
    case ATSPI_ROLE_GLASS_PANE:
    case ATSPI_ROLE_OPTION_PANE:
    case ATSPI_ROLE_CANVAS:
    case ATSPI_ROLE_DRAWING_AREA:
    case ATSPI_ROLE_PARAGRAPH:
    case ATSPI_ROLE_ARTICLE:
    case ATSPI_ROLE_LANDMARK:
    case ATSPI_ROLE_BLOCK_QUOTE:
    case ATSPI_ROLE_HEADER:
    case ATSPI_ROLE_FOOTER:
        return QStringLiteral("AXGroup");
    case ATSPI_ROLE_SCROLL_PANE:
    case ATSPI_ROLE_VIEWPORT:
        return QStringLiteral("AXScrollArea");
    case ATSPI_ROLE_DOCUMENT_WEB:
    case ATSPI_ROLE_DOCUMENT_FRAME:
    case ATSPI_ROLE_DOCUMENT_EMAIL:
    case ATSPI_ROLE_HTML_CONTAINER:
        return QStringLiteral("AXWebArea");
    case ATSPI_ROLE_SPLIT_PANE:
        return QStringLiteral("AXSplitGroup");
    case ATSPI_ROLE_PAGE_TAB_LIST:
        return QStringLiteral("AXTabGroup");
    case ATSPI_ROLE_PAGE_TAB:
    case ATSPI_ROLE_RADIO_BUTTON:
        return QStringLiteral("AXRadioButton");
    case ATSPI_ROLE_TOOL_BAR:
        return QStringLiteral("AXToolbar");
    case ATSPI_ROLE_LIST:
    case ATSPI_ROLE_LIST_BOX:
        return QStringLiteral("AXList");
    case ATSPI_ROLE_TREE:
    case ATSPI_ROLE_TREE_TABLE:
        return QStringLiteral("AXOutline");
    case ATSPI_ROLE_TABLE:
        return QStringLiteral("AXTable");
    case ATSPI_ROLE_PUSH_BUTTON:
    case ATSPI_ROLE_TOGGLE_BUTTON:
        return QStringLiteral("AXButton");
    case ATSPI_ROLE_CHECK_BOX:
        return QStringLiteral("AXCheckBox");
    case ATSPI_ROLE_COMBO_BOX:
        return QStringLiteral("AXComboBox");
    case ATSPI_ROLE_TEXT:
        return multiLine ? QStringLiteral("AXTextArea") : QStringLiteral("AXTextField");
    case ATSPI_ROLE_ENTRY:
    case ATSPI_ROLE_PASSWORD_TEXT:
    case ATSPI_ROLE_EDITBAR:
        return QStringLiteral("AXTextField");
    case ATSPI_ROLE_DOCUMENT_TEXT:
        return QStringLiteral("AXTextArea");
    case ATSPI_ROLE_LABEL:
    case ATSPI_ROLE_STATIC:
    case ATSPI_ROLE_CAPTION:
        return QStringLiteral("AXStaticText");
    case ATSPI_ROLE_HEADING:
        return QStringLiteral("AXHeading");
    case ATSPI_ROLE_LINK:
        return QStringLiteral("AXLink");
    case ATSPI_ROLE_IMAGE:
    case ATSPI_ROLE_ICON:
        return QStringLiteral("AXImage");
    case ATSPI_ROLE_MENU_BAR:
        return QStringLiteral("AXMenuBar");
    case ATSPI_ROLE_MENU:
    case ATSPI_ROLE_POPUP_MENU:
        return QStringLiteral("AXMenu");
    case ATSPI_ROLE_MENU_ITEM:
    case ATSPI_ROLE_CHECK_MENU_ITEM:
    case ATSPI_ROLE_RADIO_MENU_ITEM:
    case ATSPI_ROLE_TEAROFF_MENU_ITEM:
        return QStringLiteral("AXMenuItem");
    case ATSPI_ROLE_SLIDER:
        return QStringLiteral("AXSlider");
    case ATSPI_ROLE_SPIN_BUTTON:
        return QStringLiteral("AXIncrementor");
    case ATSPI_ROLE_PROGRESS_BAR:
        return QStringLiteral("AXProgressIndicator");
    case ATSPI_ROLE_SCROLL_BAR:
        return QStringLiteral("AXScrollBar");
    case ATSPI_ROLE_TABLE_ROW:
    case ATSPI_ROLE_LIST_ITEM:
    case ATSPI_ROLE_TREE_ITEM:
        return QStringLiteral("AXRow");
    case ATSPI_ROLE_TABLE_CELL:
    case ATSPI_ROLE_TABLE_COLUMN_HEADER:
    case ATSPI_ROLE_TABLE_ROW_HEADER:
    case ATSPI_ROLE_COLUMN_HEADER:
    case ATSPI_ROLE_ROW_HEADER:
        return QStringLiteral("AXCell");
    case ATSPI_ROLE_TOOL_TIP:
        return QStringLiteral("AXHelpTag");
    case ATSPI_ROLE_SEPARATOR:
        return QStringLiteral("AXSplitter");
    default:
        return QStringLiteral("AXUnknown");
    }
}

std::optional<QString> trimmed(const gchar *text)
{
    if (!text)
        return std::nullopt;
    const QString value = QString::fromUtf8(text).trimmed();
    if (value.isEmpty())
        return std::nullopt;
    return value;
}

std::optional<QString> taken(gchar *text)
{
    GString_ owned(text);
    return trimmed(owned.get());
}

class AtspiElement final : public AccessibleElement
{
public:
    explicit AtspiElement(AtspiAccessible *accessible) // takes the reference
        : m_accessible(accessible)
    { }
    ~AtspiElement() override { g_object_unref(m_accessible); }

    static AccessibleElementPtr wrap(AtspiAccessible *accessible)
    {
        if (!accessible)
            return {};
        return std::make_shared<AtspiElement>(accessible);
    }

    AtspiRole atspiRole() const
    {
        if (!m_role) {
            Error error;
            m_role = atspi_accessible_get_role(m_accessible, &error);
        }
        return *m_role;
    }

    QString role() const override
    {
        const AtspiRole r = atspiRole();
        if (r == ATSPI_ROLE_INVALID)
            return {};
        return axRole(r, r == ATSPI_ROLE_TEXT && hasState(ATSPI_STATE_MULTI_LINE));
    }

    std::optional<QString> attribute(const QString &name) const override
    {
        Error error;
        if (name == QLatin1String("AXTitle"))
            return taken(atspi_accessible_get_name(m_accessible, &error));
        if (name == QLatin1String("AXDescription"))
            return taken(atspi_accessible_get_description(m_accessible, &error));
        if (name == QLatin1String("AXValue"))
            return value();
        if (name == QLatin1String("AXPlaceholderValue"))
            return objectAttribute("placeholder-text");
        if (name == QLatin1String("AXLabel"))
            return labelledBy();
        if (name == QLatin1String("AXSelectedText"))
            return selectedText();
        if (name == QLatin1String("AXURL"))
            return url();
        return std::nullopt;
    }

    AccessibleElementPtr parent() const override
    {
        Error error;
        return wrap(atspi_accessible_get_parent(m_accessible, &error));
    }

    std::vector<AccessibleElementPtr> children(int limit) const override
    {
        std::vector<AccessibleElementPtr> result;
        Error error;
        const int count = atspi_accessible_get_child_count(m_accessible, &error);
        for (int i = 0; i < std::min(count, limit); ++i) {
            Error childError;
            if (auto child =
                    wrap(atspi_accessible_get_child_at_index(m_accessible, i, &childError)))
                result.push_back(std::move(child));
        }
        return result;
    }

    std::optional<QRect> frame() const override
    {
        GRef<AtspiComponent> component(atspi_accessible_get_component_iface(m_accessible));
        if (!component)
            return std::nullopt;
        Error error;
        std::unique_ptr<AtspiRect, GFree<AtspiRect>> rect(
            atspi_component_get_extents(component.get(), ATSPI_COORD_TYPE_SCREEN, &error));
        if (!rect || rect->width <= 0 || rect->height <= 0)
            return std::nullopt;
        return QRect(rect->x, rect->y, rect->width, rect->height);
    }

    AccessibleElementPtr childAt(QPoint point) const override
    {
        GRef<AtspiComponent> component(atspi_accessible_get_component_iface(m_accessible));
        if (!component)
            return {};
        Error error;
        return wrap(atspi_component_get_accessible_at_point(component.get(), point.x(), point.y(),
                                                            ATSPI_COORD_TYPE_SCREEN, &error));
    }

    bool isSecure() const override { return atspiRole() == ATSPI_ROLE_PASSWORD_TEXT; }
    bool isFocused() const override { return hasState(ATSPI_STATE_FOCUSED); }

    bool hasState(AtspiStateType state) const
    {
        GRef<AtspiStateSet> states(atspi_accessible_get_state_set(m_accessible));
        return states && atspi_state_set_contains(states.get(), state);
    }

    AtspiAccessible *accessible() const { return m_accessible; }

private:
    std::optional<QString> value() const
    {
        if (isSecure())
            return std::nullopt;
        if (GRef<AtspiValue> value {atspi_accessible_get_value_iface(m_accessible)}) {
            Error error;
            const double current = atspi_value_get_current_value(value.get(), &error);
            if (!error.failed())
                return QString::number(current, 'g', 15);
        }
        const AtspiRole r = atspiRole();
        if (r == ATSPI_ROLE_CHECK_BOX || r == ATSPI_ROLE_RADIO_BUTTON ||
            r == ATSPI_ROLE_TOGGLE_BUTTON)
            return hasState(ATSPI_STATE_CHECKED) ? QStringLiteral("1") : QStringLiteral("0");
        if (GRef<AtspiText> text {atspi_accessible_get_text_iface(m_accessible)}) {
            Error error;
            return taken(atspi_text_get_text(text.get(), 0, -1, &error));
        }
        return std::nullopt;
    }

    std::optional<QString> selectedText() const
    {
        if (isSecure())
            return std::nullopt;
        GRef<AtspiText> text(atspi_accessible_get_text_iface(m_accessible));
        if (!text)
            return std::nullopt;
        Error error;
        if (atspi_text_get_n_selections(text.get(), &error) <= 0)
            return std::nullopt;
        std::unique_ptr<AtspiRange, GFree<AtspiRange>> range(
            atspi_text_get_selection(text.get(), 0, &error));
        if (!range || range->start_offset >= range->end_offset)
            return std::nullopt;
        return taken(
            atspi_text_get_text(text.get(), range->start_offset, range->end_offset, &error));
    }

    std::optional<QString> objectAttribute(const char *key) const
    {
        Error error;
        GHashTable *attributes = atspi_accessible_get_attributes(m_accessible, &error);
        if (!attributes)
            return std::nullopt;
        auto result = trimmed(static_cast<const gchar *>(g_hash_table_lookup(attributes, key)));
        g_hash_table_unref(attributes);
        return result;
    }

    std::optional<QString> labelledBy() const
    {
        Error error;
        GArray *relations = atspi_accessible_get_relation_set(m_accessible, &error);
        if (!relations)
            return std::nullopt;
        std::optional<QString> label;
        for (guint i = 0; i < relations->len; ++i) {
            AtspiRelation *relation = g_array_index(relations, AtspiRelation *, i);
            if (!label &&
                atspi_relation_get_relation_type(relation) == ATSPI_RELATION_LABELLED_BY &&
                atspi_relation_get_n_targets(relation) > 0) {
                GRef<AtspiAccessible> target(atspi_relation_get_target(relation, 0));
                Error nameError;
                if (target)
                    label = taken(atspi_accessible_get_name(target.get(), &nameError));
            }
            g_object_unref(relation);
        }
        g_array_free(relations, TRUE);
        return label;
    }

    std::optional<QString> url() const
    {
        GRef<AtspiDocument> document(atspi_accessible_get_document_iface(m_accessible));
        if (document) {
            Error error;
            if (auto value = taken(atspi_document_get_document_attribute_value(
                    document.get(), const_cast<gchar *>("DocURL"), &error)))
                return value;
        }
        return objectAttribute("DocURL");
    }

    AtspiAccessible *m_accessible;
    mutable std::optional<AtspiRole> m_role;
};

} // namespace

AtspiTree::AtspiTree()
    : m_context(g_main_context_new())
    , m_loop(g_main_loop_new(m_context, FALSE))
{
    std::promise<void> running;
    m_thread = std::thread([this, &running] {
        pthread_setname_np(pthread_self(), "velko.atspi");
        g_main_context_push_thread_default(m_context);
        running.set_value();
        g_main_loop_run(m_loop);
        g_main_context_pop_thread_default(m_context);
    });
    running.get_future().wait();
}

AtspiTree::~AtspiTree()
{
    perform([this] {
        if (m_focusListener) {
            atspi_event_listener_deregister(m_focusListener, "object:state-changed:focused",
                                            nullptr);
            g_object_unref(m_focusListener);
        }
        if (m_focus)
            g_object_unref(m_focus);
        for (AtspiAccessible *app : std::as_const(m_apps))
            g_object_unref(app);
        if (m_session)
            g_object_unref(m_session);
    });
    g_main_loop_quit(m_loop);
    m_thread.join();
    g_main_loop_unref(m_loop);
    g_main_context_unref(m_context);
}

void AtspiTree::perform(const std::function<void()> &fn)
{
    if (std::this_thread::get_id() == m_thread.get_id()) {
        fn();
        return;
    }
    struct Call
    {
        const std::function<void()> *fn;
        std::promise<void> done;
    } call {&fn, {}};
    g_main_context_invoke(
        m_context,
        [](gpointer data) -> gboolean {
            auto *c = static_cast<Call *>(data);
            (*c->fn)();
            c->done.set_value();
            return G_SOURCE_REMOVE;
        },
        &call);
    call.done.get_future().wait();
}

std::optional<bool> AtspiTree::busEnabled()
{
    if (!m_session) {
        Error error;
        m_session = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
        if (!m_session)
            return std::nullopt;
    }
    Error error;
    GVariant *reply = g_dbus_connection_call_sync(
        m_session, "org.a11y.Bus", "/org/a11y/bus", "org.freedesktop.DBus.Properties", "Get",
        g_variant_new("(ss)", "org.a11y.Status", "IsEnabled"), G_VARIANT_TYPE("(v)"),
        G_DBUS_CALL_FLAGS_NONE, 1000, nullptr, &error);
    if (!reply)
        return std::nullopt;
    GVariant *boxed = nullptr;
    g_variant_get(reply, "(v)", &boxed);
    const bool enabled =
        g_variant_is_of_type(boxed, G_VARIANT_TYPE_BOOLEAN) && g_variant_get_boolean(boxed);
    g_variant_unref(boxed);
    g_variant_unref(reply);
    return enabled;
}

bool AtspiTree::connect()
{
    if (m_connected || m_connectFailed)
        return m_connected;
    // libatspi aborts the process on any call once its bus could not be reached, and never
    // retries: a failed start keeps the tree closed for good.
    if (atspi_init() == 2) {
        m_connectFailed = true;
        return false;
    }
    atspi_set_main_context(m_context);
    m_focusListener = atspi_event_listener_new(&AtspiTree::onFocus, this, nullptr);
    atspi_event_listener_register(m_focusListener, "object:state-changed:focused", nullptr);
    m_connected = true;
    return true;
}

bool AtspiTree::trusted()
{
    bool result = false;
    perform([&] {
        const auto now = std::chrono::steady_clock::now();
        if (m_enabledReadAt == std::chrono::steady_clock::time_point() ||
            now - m_enabledReadAt >= EnabledTtl) {
            m_enabled = busEnabled().value_or(false);
            m_enabledReadAt = now;
        }
        result = m_enabled && connect();
    });
    return result;
}

bool AtspiTree::enable()
{
    perform([&] {
        if (busEnabled().value_or(false))
            return;
        Error error;
        GVariant *reply = g_dbus_connection_call_sync(
            m_session, "org.a11y.Bus", "/org/a11y/bus", "org.freedesktop.DBus.Properties", "Set",
            g_variant_new("(ssv)", "org.a11y.Status", "IsEnabled", g_variant_new_boolean(TRUE)),
            nullptr, G_DBUS_CALL_FLAGS_NONE, 1000, nullptr, &error);
        if (reply)
            g_variant_unref(reply);
        m_enabledReadAt = {};
    });
    return trusted();
}

AtspiAccessible *AtspiTree::application(qint64 pid)
{
    if (auto it = m_apps.constFind(pid); it != m_apps.constEnd())
        return *it;
    const auto now = std::chrono::steady_clock::now();
    if (m_appsReadAt != std::chrono::steady_clock::time_point() && now - m_appsReadAt < AppsTtl)
        return nullptr;
    m_appsReadAt = now;
    for (AtspiAccessible *app : std::as_const(m_apps))
        g_object_unref(app);
    m_apps.clear();
    GRef<AtspiAccessible> desktop(atspi_get_desktop(0));
    Error error;
    const int count = desktop ? atspi_accessible_get_child_count(desktop.get(), &error) : 0;
    for (int i = 0; i < count; ++i) {
        Error childError;
        AtspiAccessible *app = atspi_accessible_get_child_at_index(desktop.get(), i, &childError);
        if (!app)
            continue;
        Error pidError;
        const qint64 appPid = atspi_accessible_get_process_id(app, &pidError);
        if (pidError.failed() || m_apps.contains(appPid))
            g_object_unref(app);
        else
            m_apps.insert(appPid, app);
    }
    return m_apps.value(pid);
}

std::vector<AccessibleElementPtr> AtspiTree::windows(qint64 pid)
{
    std::vector<AccessibleElementPtr> result;
    AtspiAccessible *app = application(pid);
    if (!app)
        return result;
    Error error;
    const int count = atspi_accessible_get_child_count(app, &error);
    if (error.failed()) {
        // The application went away; the next lookup reads the list afresh.
        g_object_unref(app);
        m_apps.remove(pid);
        m_appsReadAt = {};
        return result;
    }
    for (int i = 0; i < count; ++i) {
        Error childError;
        auto window = AtspiElement::wrap(atspi_accessible_get_child_at_index(app, i, &childError));
        if (!window)
            continue;
        const bool active = static_cast<AtspiElement *>(window.get())->hasState(ATSPI_STATE_ACTIVE);
        if (active)
            result.insert(result.begin(), std::move(window));
        else
            result.push_back(std::move(window));
    }
    return result;
}

AccessibleElementPtr AtspiTree::focused(qint64 pid)
{
    if (m_focus) {
        Error error;
        if (atspi_accessible_get_process_id(m_focus, &error) == pid && !error.failed()) {
            auto element =
                AtspiElement::wrap(static_cast<AtspiAccessible *>(g_object_ref(m_focus)));
            if (element->isFocused())
                return element;
        }
    }
    // No focus event seen for this application yet: look for the focused element in its active
    // window, breadth first and bounded.
    const auto tops = windows(pid);
    if (tops.empty())
        return {};
    std::vector<AccessibleElementPtr> queue {tops.front()};
    for (size_t i = 0; i < queue.size() && i < FocusWalkLimit; ++i) {
        if (queue[i]->isFocused() && i > 0)
            return queue[i];
        for (auto &child : queue[i]->children(FocusWalkLimit))
            queue.push_back(std::move(child));
    }
    return {};
}

std::optional<QRect> AtspiTree::secureFocusFrame()
{
    std::lock_guard lock(m_secureMutex);
    return m_secureFrame;
}

void AtspiTree::refreshSecureFocus()
{
    perform([this] {
        std::optional<QRect> frame;
        if (m_focus && m_focusSecure)
            frame = AtspiElement(static_cast<AtspiAccessible *>(g_object_ref(m_focus))).frame();
        std::lock_guard lock(m_secureMutex);
        m_secureFrame = frame;
    });
}

void AtspiTree::onFocus(AtspiEvent *event, void *self)
{
    auto *tree = static_cast<AtspiTree *>(self);
    if (event->detail1) {
        if (tree->m_focus)
            g_object_unref(tree->m_focus);
        tree->m_focus = static_cast<AtspiAccessible *>(g_object_ref(event->source));
        Error error;
        tree->m_focusSecure =
            atspi_accessible_get_role(event->source, &error) == ATSPI_ROLE_PASSWORD_TEXT;
    } else if (event->source == tree->m_focus) {
        g_object_unref(tree->m_focus);
        tree->m_focus = nullptr;
        tree->m_focusSecure = false;
    }
    g_boxed_free(ATSPI_TYPE_EVENT, event);
    // At once, not at the next sample: the very next frame may show the field.
    tree->refreshSecureFocus();
}
