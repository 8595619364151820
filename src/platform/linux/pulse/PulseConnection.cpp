#include "platform/linux/pulse/PulseConnection.h"

PulseConnection::PulseConnection(const char *clientName)
    : m_loop(pa_threaded_mainloop_new())
{
    m_context = pa_context_new(pa_threaded_mainloop_get_api(m_loop), clientName);
    pa_context_set_state_callback(
        m_context, [](pa_context *, void *self) { static_cast<PulseConnection *>(self)->signal(); },
        this);
}

PulseConnection::~PulseConnection()
{
    if (m_running) {
        lock();
        pa_context_disconnect(m_context);
        unlock();
        pa_threaded_mainloop_stop(m_loop);
    }
    pa_context_unref(m_context);
    pa_threaded_mainloop_free(m_loop);
}

std::optional<QString> PulseConnection::connect()
{
    if (pa_context_connect(m_context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        return QStringLiteral("could not connect to the audio server: %1").arg(lastError());
    lock();
    if (pa_threaded_mainloop_start(m_loop) < 0) {
        unlock();
        return QStringLiteral("could not start the audio server connection");
    }
    m_running = true;
    for (;;) {
        const pa_context_state_t state = pa_context_get_state(m_context);
        if (state == PA_CONTEXT_READY)
            break;
        if (!PA_CONTEXT_IS_GOOD(state)) {
            const QString error = lastError();
            unlock();
            return QStringLiteral("could not connect to the audio server: %1").arg(error);
        }
        wait();
    }
    unlock();
    return std::nullopt;
}

void PulseConnection::await(pa_operation *operation)
{
    if (!operation)
        return;
    while (pa_operation_get_state(operation) == PA_OPERATION_RUNNING)
        wait();
    pa_operation_unref(operation);
}

QString PulseConnection::lastError() const
{
    return QString::fromUtf8(pa_strerror(pa_context_errno(m_context)));
}
