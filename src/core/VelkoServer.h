#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>

#include <QFile>
#include <QList>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <sys/types.h>

#include "core/Provider.h"

class ChildProcess;

// The built-in model server (serverRoot/app.py): a small server on 127.0.0.1 that calls the
// user's own provider with the user's own key. start() blocks until it answers its health check,
// so it runs on a background task; stop() may come from any thread, also during a start.
class VelkoServer
{
public:
    VelkoServer();
    ~VelkoServer(); // stops the server

    VelkoServer(const VelkoServer &) = delete;
    VelkoServer &operator=(const VelkoServer &) = delete;

    // Absent on success (or when it already runs), else a message for the user.
    std::optional<QString> start(std::optional<Provider> provider,
                                 const std::optional<QString> &key, const QString &envFile,
                                 std::chrono::milliseconds timeout);
    // Ends the server's whole process tree; returns the ids still alive afterwards.
    QList<pid_t> stop();

    std::optional<quint16> port() const;
    pid_t pid() const; // 0 without a process
    QStringList lastLines() const;

    static bool healthy(quint16 port);
    static QProcessEnvironment environment(quint16 port, std::optional<Provider> provider,
                                           const std::optional<QString> &key,
                                           const QString &envFile);

private:
    void consume(const QByteArray &bytes);

    mutable std::mutex m_mutex;
    std::shared_ptr<ChildProcess> m_process;
    std::optional<quint16> m_port;
    QStringList m_lastLines;
    QByteArray m_partial;
    QFile m_log;
};
