#pragma once

#include "core/SerialQueue.h"
#include "platform/AccessibilityTree.h"
#include "platform/ClickListener.h"
#include "platform/DesktopState.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <QJsonObject>
#include <QRect>

// The clicks and the front application's state of one recording: every left and right click
// becomes a "click" line with the control under the pointer; the front application is sampled
// every half second, on activation and after each click, and reported as a "state" line when it
// changed. All the work runs on the recorder's state queue, in arrival order.
class ActivitySampler
{
public:
    struct Hooks
    {
        std::function<void(const QJsonObject &)> emitLine;
        // Keep the next frame; called on the state queue.
        std::function<void()> forceNext;
        // 1-based number of the display holding a root-window point.
        std::function<std::optional<int>(QPoint)> displayIndex;
        // Root-window point to the coordinates lines carry (origin at the main display).
        std::function<QPoint(QPoint)> toGlobal;
        // A click or state line went out.
        std::function<void()> clickReported;
        std::function<void()> stateReported;
    };

    ActivitySampler(SerialQueue &stateQueue, Hooks hooks,
                    std::unique_ptr<DesktopState> desktop = DesktopState::create(),
                    AccessibilityTree &tree = AccessibilityTree::shared());
    // Stops, then waits for the work already queued.
    ~ActivitySampler();

    ActivitySampler(const ActivitySampler &) = delete;
    ActivitySampler &operator=(const ActivitySampler &) = delete;

    // Sampling first, then the click listener; a "warning" line when clicks cannot be seen.
    void start();
    // Nothing new is queued afterwards; queued work may still run.
    void stop();

    int clickCount() const { return m_clickCount; }
    int stateCount() const { return m_stateCount; }
    // The focused password field, in root-window coordinates; never waits.
    std::optional<QRect> secureFrame() const;

    // On the state queue.
    void onClick(ClickListener::Button button, double t, QPoint at);
    void sample(const QString &reason);

    // The five strings that make a state different from the last one reported.
    static QString signature(const QJsonObject &state);

private:
    void timerLoop();
    void queueSample(const QString &reason);

    SerialQueue &m_queue;
    Hooks m_hooks;
    std::unique_ptr<DesktopState> m_desktop;
    AccessibilityTree &m_tree;
    const qint64 m_ownPid;
    std::unique_ptr<ClickListener> m_clicks;

    // Only touched on the state queue.
    QString m_lastSig;
    quint64 m_lastClipCount = 0;

    std::atomic<int> m_clickCount {0};
    std::atomic<int> m_stateCount {0};
    std::atomic<bool> m_timerSamplePending {false};
    std::atomic<bool> m_stopped {false};

    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_timerStop = false;
    std::thread m_timer;
};
