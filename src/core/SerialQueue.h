#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

// One worker thread that runs submitted tasks one after another, in submission order.
// The log and the recorder use one per role ("velko.applog", "velko.capture.frames", ...).
class SerialQueue
{
public:
    explicit SerialQueue(std::string label);
    ~SerialQueue(); // runs what is queued, then joins

    SerialQueue(const SerialQueue &) = delete;
    SerialQueue &operator=(const SerialQueue &) = delete;

    const std::string &label() const { return m_label; }

    void async(std::function<void()> task);
    // Runs the task on the worker and waits for it (and so for everything queued before it).
    // Must not be called from the worker itself.
    void sync(const std::function<void()> &task);
    void drain()
    {
        sync([] {});
    }
    bool isCurrent() const { return std::this_thread::get_id() == m_thread.get_id(); }

private:
    void run();

    std::string m_label;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_tasks;
    bool m_stopping = false;
    std::thread m_thread;
};
