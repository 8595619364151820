#pragma once

#include "platform/AccessibilityTree.h"

#include <chrono>
#include <mutex>
#include <thread>

#include <QHash>

typedef struct _AtspiAccessible AtspiAccessible;
typedef struct _AtspiEvent AtspiEvent;
typedef struct _AtspiEventListener AtspiEventListener;
typedef struct _GMainContext GMainContext;
typedef struct _GMainLoop GMainLoop;
typedef struct _GDBusConnection GDBusConnection;

// The AT-SPI 2 tree. libatspi is not thread-safe, so one thread ("velko.atspi") owns the
// connection, runs its event loop and carries out every call made through perform().
class AtspiTree final : public AccessibilityTree
{
public:
    AtspiTree();
    ~AtspiTree() override;

    bool trusted() override;
    bool enable() override;
    void perform(const std::function<void()> &fn) override;
    std::vector<AccessibleElementPtr> windows(qint64 pid) override;
    AccessibleElementPtr focused(qint64 pid) override;
    std::optional<QRect> secureFocusFrame() override;
    void refreshSecureFocus() override;

private:
    void run();
    bool connect();
    std::optional<bool> busEnabled();
    AtspiAccessible *application(qint64 pid);
    static void onFocus(AtspiEvent *event, void *self);

    GMainContext *m_context = nullptr;
    GMainLoop *m_loop = nullptr;
    GDBusConnection *m_session = nullptr;
    AtspiEventListener *m_focusListener = nullptr;
    bool m_connected = false;
    bool m_connectFailed = false;
    bool m_enabled = false;
    std::chrono::steady_clock::time_point m_enabledReadAt;
    std::chrono::steady_clock::time_point m_appsReadAt;
    QHash<qint64, AtspiAccessible *> m_apps;
    AtspiAccessible *m_focus = nullptr;
    bool m_focusSecure = false;
    std::mutex m_secureMutex;
    std::optional<QRect> m_secureFrame; // guarded by m_secureMutex
    std::thread m_thread;
};
