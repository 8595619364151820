#include "core/SerialQueue.h"

#include <future>

#include <pthread.h>

SerialQueue::SerialQueue(std::string label)
    : m_label(std::move(label))
    , m_thread([this] { run(); })
{ }

SerialQueue::~SerialQueue()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_one();
    m_thread.join();
}

void SerialQueue::async(std::function<void()> task)
{
    {
        std::lock_guard lock(m_mutex);
        m_tasks.push_back(std::move(task));
    }
    m_wake.notify_one();
}

void SerialQueue::sync(const std::function<void()> &task)
{
    std::promise<void> done;
    async([&] {
        task();
        done.set_value();
    });
    done.get_future().wait();
}

void SerialQueue::run()
{
    // The kernel keeps 15 characters of a thread's name; the label is kept whole in m_label.
    pthread_setname_np(pthread_self(), m_label.substr(0, 15).c_str());
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stopping || !m_tasks.empty(); });
            if (m_tasks.empty())
                return;
            task = std::move(m_tasks.front());
            m_tasks.pop_front();
        }
        task();
    }
}
