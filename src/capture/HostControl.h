#pragma once

#include "capture/NativeRecorder.h"

#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

// The control socket through which the pipeline starts and stops recordings: a Unix-domain
// stream socket, one JSON object per line, the shared token on the first line of every
// connection. Each connection has a thread of its own; a "start" connection carries its
// recording's event lines until "stop" or its end, then the summary.
class HostControl
{
public:
    using RecorderFactory = std::function<std::shared_ptr<NativeRecorder>(
        NativeRecorder::Options opts, NativeRecorder::Emit sendLine)>;

    HostControl(QString path, QString token);
    ~HostControl();

    HostControl(const HostControl &) = delete;
    HostControl &operator=(const HostControl &) = delete;

    // Binds and listens (owner-only) and starts accepting. Throws DomainError in the POSIX
    // domain: "socket", "socket path too long", "bind", "listen".
    void start();
    // Stops accepting and removes the socket file; a recording in progress goes on.
    void stop();

    const QString &path() const { return m_path; }
    // Recorders of this host come from here (the real screen by default).
    void setRecorderFactory(RecorderFactory factory);

    struct Shared;

private:
    void acceptLoop();

    QString m_path;
    int m_fd = -1;
    std::shared_ptr<Shared> m_shared;
    std::atomic<bool> m_running = false;
    std::thread m_acceptThread;
};
