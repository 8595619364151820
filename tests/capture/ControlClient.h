#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include <optional>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

// The pipeline's side of the control socket: raw bytes out, JSON lines in.
class ControlClient
{
public:
    explicit ControlClient(const QString &path)
    {
        m_fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        const QByteArray native = path.toUtf8();
        memcpy(address.sun_path, native.constData(), size_t(native.size()));
        m_connected =
            ::connect(m_fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
    }
    ~ControlClient() { close(); }

    bool connected() const { return m_connected; }

    void write(const QByteArray &bytes)
    {
        qsizetype sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n =
                ::send(m_fd, bytes.constData() + sent, size_t(bytes.size() - sent), MSG_NOSIGNAL);
            if (n <= 0)
                return;
            sent += n;
        }
    }
    void send(const QJsonObject &line)
    {
        write(QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n');
    }
    // Half-closes: the host sees the end of the stream but can still answer.
    void finish() { ::shutdown(m_fd, SHUT_WR); }
    void close()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

    // The next line, or nothing on timeout or when the host closed the connection.
    std::optional<QJsonObject> readLine(int timeoutMs = 5000)
    {
        QElapsedTimer clock;
        clock.start();
        for (;;) {
            const qsizetype end = m_buf.indexOf('\n');
            if (end >= 0) {
                const QByteArray line = m_buf.left(end);
                m_buf.remove(0, end + 1);
                return QJsonDocument::fromJson(line).object();
            }
            const int left = timeoutMs - int(clock.elapsed());
            pollfd poller {m_fd, POLLIN, 0};
            if (left <= 0 || ::poll(&poller, 1, left) <= 0)
                return std::nullopt;
            char chunk[4096];
            const ssize_t n = ::recv(m_fd, chunk, sizeof chunk, 0);
            if (n <= 0)
                return std::nullopt;
            m_buf.append(chunk, n);
        }
    }
    // Reads until a line of `type` arrives; the lines before it are kept in `skipped`.
    std::optional<QJsonObject> readUntil(const QString &type, QList<QJsonObject> *skipped = nullptr,
                                         int timeoutMs = 5000)
    {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < timeoutMs) {
            std::optional<QJsonObject> line = readLine(timeoutMs - int(clock.elapsed()));
            if (!line)
                return std::nullopt;
            if (line->value("type").toString() == type)
                return line;
            if (skipped)
                skipped->append(*line);
        }
        return std::nullopt;
    }
    // True when the host closed the connection with nothing more to read.
    bool closedByHost(int timeoutMs = 2000)
    {
        if (!m_buf.isEmpty())
            return false;
        pollfd poller {m_fd, POLLIN, 0};
        if (::poll(&poller, 1, timeoutMs) <= 0)
            return false;
        char byte;
        return ::recv(m_fd, &byte, 1, MSG_PEEK) == 0;
    }

private:
    int m_fd = -1;
    bool m_connected = false;
    QByteArray m_buf;
};
