#include "platform/WebAuthSession.h"

#include <coroutine>

#include <QDesktopServices>
#include <QPointer>

namespace {

// The session that waits for a callback, if any.
QPointer<WebAuthSession> current;

} // namespace

// One wait, living in the frame of the open() that awaits it. finish() fills in the result and
// resumes the waiting coroutine at once.
struct WebAuthSession::Wait
{
    QPointer<WebAuthSession> session;
    std::optional<Result> result;
    std::coroutine_handle<> handle;

    Wait(WebAuthSession *owner)
        : session(owner)
    { }
    Wait(const Wait &) = delete;
    Wait &operator=(const Wait &) = delete;
    ~Wait()
    {
        if (session && session->m_wait == this)
            session->m_wait = nullptr;
    }

    // What the coroutine awaits; it may be copied, so it only points at the wait.
    struct Awaiter
    {
        Wait *wait;
        bool await_ready() const noexcept { return wait->result.has_value(); }
        void await_suspend(std::coroutine_handle<> h) noexcept { wait->handle = h; }
        Result await_resume() const { return *wait->result; }
    };
};

WebAuthSession::WebAuthSession(QObject *parent)
    : QObject(parent)
{
    m_timer.setSingleShot(true);
    m_timer.setInterval(defaultTimeLimit);
    connect(&m_timer, &QTimer::timeout, this, [this] { finish(End::TimedOut); });
}

WebAuthSession::~WebAuthSession()
{
    cancel();
}

QCoro::Task<WebAuthSession::Result> WebAuthSession::open(QUrl url, QString callbackScheme)
{
    if (current)
        current->cancel();
    Wait wait(this);
    m_wait = &wait;
    m_scheme = callbackScheme.toLower();
    current = this;
    m_timer.start();
    if (!QDesktopServices::openUrl(url))
        finish(End::CouldNotOpen);
    co_return co_await Wait::Awaiter {&wait};
}

void WebAuthSession::cancel()
{
    finish(End::Cancelled);
}

bool WebAuthSession::isWaiting() const
{
    return m_wait != nullptr;
}

void WebAuthSession::setTimeLimit(std::chrono::milliseconds limit)
{
    m_timer.setInterval(limit);
}

std::chrono::milliseconds WebAuthSession::timeLimit() const
{
    return m_timer.intervalAsDuration();
}

bool WebAuthSession::deliver(const QUrl &callback)
{
    if (!current || !current->m_wait || callback.scheme().toLower() != current->m_scheme)
        return false;
    current->finish(End::Callback, callback);
    return true;
}

void WebAuthSession::finish(End end, const QUrl &url)
{
    Wait *wait = std::exchange(m_wait, nullptr);
    if (!wait)
        return;
    m_timer.stop();
    if (current == this)
        current = nullptr;
    wait->result = Result {end, url};
    if (wait->handle)
        std::exchange(wait->handle, {}).resume();
}
