#include "capture/ActivitySampler.h"

#include "capture/AXReader.h"
#include "capture/AutomationReader.h"

#include <chrono>

#include <QJsonArray>

#include <pthread.h>
#include <unistd.h>

namespace {

constexpr auto SampleInterval = std::chrono::milliseconds(500);

double now()
{
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void put(QJsonObject &line, const char *key, const std::optional<QString> &value)
{
    if (value)
        line.insert(QLatin1String(key), *value);
}

} // namespace

ActivitySampler::ActivitySampler(SerialQueue &stateQueue, Hooks hooks,
                                 std::unique_ptr<DesktopState> desktop, AccessibilityTree &tree)
    : m_queue(stateQueue)
    , m_hooks(std::move(hooks))
    , m_desktop(std::move(desktop))
    , m_tree(tree)
    , m_ownPid(::getpid())
{
    if (!m_hooks.toGlobal)
        m_hooks.toGlobal = [](QPoint p) {
            return p;
        };
    if (!m_hooks.displayIndex)
        m_hooks.displayIndex = [](QPoint) {
            return std::optional<int>();
        };
    for (auto *hook : {&m_hooks.forceNext, &m_hooks.clickReported, &m_hooks.stateReported}) {
        if (!*hook)
            *hook = [] {
            };
    }
    if (m_desktop)
        m_lastClipCount = m_desktop->clipboardChanges();
}

ActivitySampler::~ActivitySampler()
{
    stop();
    // Its thread may still be handing over an activation; once it is gone, nothing new arrives.
    m_desktop.reset();
    m_queue.drain();
}

void ActivitySampler::start()
{
    if (!m_desktop)
        return;
    m_desktop->setActivationHandler([this] {
        if (!m_stopped)
            m_queue.async([this] { sample(QStringLiteral("app")); });
    });
    m_timer = std::thread([this] { timerLoop(); });

    m_clicks = ClickListener::create([this](ClickListener::Button button, double t, QPoint at) {
        if (!m_stopped)
            m_queue.async([this, button, t, at] { onClick(button, t, at); });
    });
    if (!m_clicks) {
        m_hooks.emitLine(QJsonObject {
            {"type", "warning"},
            {"t", now()},
            {"warning",
             QString::fromUtf8("could not create the click listener — Accessibility or Input "
                               "Monitoring is not granted; clicks will be missing")}});
    }
}

void ActivitySampler::stop()
{
    m_stopped = true;
    {
        std::lock_guard lock(m_mutex);
        m_timerStop = true;
    }
    m_wake.notify_all();
    if (m_timer.joinable())
        m_timer.join();
    m_clicks.reset();
    if (m_desktop)
        m_desktop->setActivationHandler({});
}

void ActivitySampler::timerLoop()
{
    pthread_setname_np(pthread_self(), "velko.capture.t");
    auto next = std::chrono::steady_clock::now();
    std::unique_lock lock(m_mutex);
    while (!m_timerStop) {
        // A sample still waiting on the queue stands for this one too: slow samples never pile
        // up behind each other.
        if (!m_timerSamplePending.exchange(true)) {
            m_queue.async([this] {
                m_timerSamplePending = false;
                sample(QStringLiteral("timer"));
            });
        }
        next += SampleInterval;
        m_wake.wait_until(lock, next, [this] { return m_timerStop; });
    }
}

std::optional<QRect> ActivitySampler::secureFrame() const
{
    return m_tree.secureFocusFrame();
}

void ActivitySampler::onClick(ClickListener::Button button, double t, QPoint at)
{
    const QPoint global = m_hooks.toGlobal(at);
    QJsonObject line {{"type", "click"},
                      {"t", t},
                      {"action", button == ClickListener::Button::Right ? "right-click" : "click"},
                      {"x", global.x()},
                      {"y", global.y()}};
    if (const auto display = m_hooks.displayIndex(at))
        line.insert(QLatin1String("display"), *display);
    const auto app = m_desktop ? m_desktop->frontApp() : std::nullopt;
    if (app && app->pid == m_ownPid)
        return;
    if (app && !app->name.isEmpty())
        line.insert(QLatin1String("app"), app->name);
    if (app && app->pid > 0) {
        const QJsonObject description = AXReader::describe(at, app->pid, m_tree);
        for (auto it = description.begin(); it != description.end(); ++it)
            line.insert(it.key(), it.value());
    }
    ++m_clickCount;
    m_hooks.clickReported();
    m_hooks.forceNext();
    m_hooks.emitLine(line);
    sample(QStringLiteral("click"));
}

void ActivitySampler::sample(const QString &reason)
{
    const auto app = m_desktop ? m_desktop->frontApp() : std::nullopt;
    if (!app || app->pid == m_ownPid)
        return;
    QJsonObject line {{"type", "state"}, {"t", now()}};
    line.insert(QLatin1String("app"),
                !app->name.isEmpty()           ? app->name
                    : !app->bundleId.isEmpty() ? app->bundleId
                                               : QStringLiteral("?"));

    if (AutomationReader::isBrowser(*app)) {
        auto tab = AutomationReader::browserTab(*app);
        bool discarded = false;
        if (tab.title && app->windowTitle && !app->windowTitle->contains(*tab.title)) {
            tab = {};
            discarded = true;
        }
        put(line, "url",
            tab.url ? tab.url
                    : (discarded && app->pid > 0 ? AXReader::webAreaURL(app->pid, m_tree)
                                                 : std::nullopt));
        put(line, "page_title", tab.title);
    }
    if (!line.contains(QLatin1String("page_title")))
        put(line, "page_title", app->windowTitle);
    if (AutomationReader::isSheet(*app)) {
        const auto sheet = AutomationReader::excelState();
        put(line, "workbook", sheet.workbook);
        put(line, "sheet", sheet.sheet);
        put(line, "selection", sheet.selection);
    }

    const quint64 clipCount = m_desktop->clipboardChanges();
    if (clipCount != m_lastClipCount) {
        m_lastClipCount = clipCount;
        put(line, "clipboard", m_desktop->clipboardText());
    }

    m_tree.refreshSecureFocus();

    const QString sig = signature(line);
    if (sig != m_lastSig)
        m_hooks.forceNext();
    else if (!line.contains(QLatin1String("clipboard")) && reason != QLatin1String("click"))
        return;

    // The peek is not part of the signature: it is read only for a line that goes out.
    QJsonObject peek = AXReader::peek(app->pid, m_desktop->pointer(), m_tree);
    if (const QJsonArray mouse = peek.value(QLatin1String("mouse")).toArray(); mouse.size() == 2) {
        const QPoint global = m_hooks.toGlobal(QPoint(mouse[0].toInt(), mouse[1].toInt()));
        peek.insert(QLatin1String("mouse"), QJsonArray {global.x(), global.y()});
    }
    for (auto it = peek.begin(); it != peek.end(); ++it)
        line.insert(it.key(), it.value());
    m_lastSig = sig;
    ++m_stateCount;
    m_hooks.stateReported();
    m_hooks.emitLine(line);
}

QString ActivitySampler::signature(const QJsonObject &state)
{
    QStringList parts;
    for (const char *key : {"app", "url", "page_title", "workbook", "selection"})
        parts << state.value(QLatin1String(key)).toString();
    return parts.join(QChar(0x0001));
}
