#pragma once

#include <QList>
#include <QMetaObject>
#include <QObject>

#include <coroutine>
#include <functional>

// An awaitable that suspends a coroutine until the first of several signals fires. `arm` connects
// the signals it cares about to the given wake-up function (always with a context object) and
// returns the connections; the first wake-up drops them all and resumes the coroutine.
//
//     SignalWait finished([&](const SignalWait::Wake &wake) {
//         return QList{QObject::connect(reply, &QNetworkReply::finished, reply, wake)};
//     });
//     co_await finished; // a named awaiter: GCC 12 mishandles temporaries in co_await
class SignalWait
{
public:
    using Wake = std::function<void()>;
    using Arm = std::function<QList<QMetaObject::Connection>(const Wake &)>;

    explicit SignalWait(Arm arm)
        : m_arm(std::move(arm))
    { }

    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> handle)
    {
        m_connections = m_arm([this, handle] {
            if (m_woken)
                return;
            m_woken = true;
            for (const auto &connection : std::as_const(m_connections))
                QObject::disconnect(connection);
            m_connections.clear();
            handle.resume();
        });
    }
    void await_resume() const noexcept { }

private:
    Arm m_arm;
    QList<QMetaObject::Connection> m_connections;
    bool m_woken = false;
};
