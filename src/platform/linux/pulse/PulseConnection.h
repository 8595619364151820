#pragma once

#include <QString>

#include <optional>

#include <pulse/pulseaudio.h>

// A client connection to the audio server with its own event thread. Calls into the context and
// its streams are made with lock() held; callbacks run on the event thread with the lock held.
class PulseConnection
{
public:
    explicit PulseConnection(const char *clientName);
    ~PulseConnection();

    PulseConnection(const PulseConnection &) = delete;
    PulseConnection &operator=(const PulseConnection &) = delete;

    // Connects without starting a server; a message when no server answers.
    std::optional<QString> connect();

    pa_context *context() const { return m_context; }
    pa_threaded_mainloop *loop() const { return m_loop; }
    void lock() { pa_threaded_mainloop_lock(m_loop); }
    void unlock() { pa_threaded_mainloop_unlock(m_loop); }
    // With the lock held: sleeps until a callback calls signal().
    void wait() { pa_threaded_mainloop_wait(m_loop); }
    void signal() { pa_threaded_mainloop_signal(m_loop, 0); }
    // With the lock held: waits for the operation to end and releases it.
    void await(pa_operation *operation);
    QString lastError() const;

private:
    pa_threaded_mainloop *m_loop = nullptr;
    pa_context *m_context = nullptr;
    bool m_running = false;
};
