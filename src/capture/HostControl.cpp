#include "capture/HostControl.h"

#include "core/DomainError.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <optional>

#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

struct HostControl::Shared
{
    QString token;
    std::mutex lock;
    std::shared_ptr<NativeRecorder> recorder; // guarded by lock
    RecorderFactory factory; // guarded by lock
};

namespace {

constexpr qsizetype readChunk = 4096;

// One accepted connection. Lines written after close() are dropped under the lock, so late
// event lines of a finished recording never reach a descriptor the system has reused.
class Conn
{
public:
    explicit Conn(int fd)
        : m_fd(fd)
    { }

    // The next line as an object (an empty one when it is not a JSON object), or nothing when
    // the peer closed or the read failed first.
    std::optional<QJsonObject> readLine()
    {
        for (;;) {
            const qsizetype end = m_buf.indexOf('\n');
            if (end >= 0) {
                const QByteArray line = m_buf.left(end);
                m_buf.remove(0, end + 1);
                const QJsonDocument document = QJsonDocument::fromJson(line);
                return document.isObject() ? document.object() : QJsonObject();
            }
            char chunk[readChunk];
            const ssize_t got = ::recv(m_fd, chunk, sizeof chunk, 0);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                return std::nullopt;
            m_buf.append(chunk, got);
        }
    }

    void send(const QJsonObject &object)
    {
        QByteArray bytes = QJsonDocument(object).toJson(QJsonDocument::Compact);
        if (bytes.isEmpty())
            return;
        bytes.append('\n');
        std::lock_guard lock(m_lock);
        if (m_closed)
            return;
        qsizetype sent = 0;
        while (sent < bytes.size()) {
            const ssize_t written =
                ::send(m_fd, bytes.constData() + sent, size_t(bytes.size() - sent), MSG_NOSIGNAL);
            if (written < 0 && errno == EINTR)
                continue;
            if (written <= 0)
                return;
            sent += written;
        }
    }

    void close()
    {
        std::lock_guard lock(m_lock);
        if (m_closed)
            return;
        m_closed = true;
        ::close(m_fd);
    }

private:
    const int m_fd;
    std::mutex m_lock;
    QByteArray m_buf; // the serving thread's only
    bool m_closed = false;
};

QJsonObject errorReply(const QString &message)
{
    return {{"type", "error"}, {"error", message}};
}

// A value of the wrong JSON type counts as absent.
int integerParameter(const QJsonObject &line, const char *key, int fallback)
{
    const QJsonValue value = line.value(QLatin1String(key));
    if (!value.isDouble())
        return fallback;
    const double number = value.toDouble();
    if (number != std::floor(number) || number < std::numeric_limits<int>::min() ||
        number > std::numeric_limits<int>::max())
        return fallback;
    return int(number);
}

bool boolParameter(const QJsonObject &line, const char *key, bool fallback)
{
    const QJsonValue value = line.value(QLatin1String(key));
    return value.isBool() ? value.toBool() : fallback;
}

void record(HostControl::Shared &shared, const std::shared_ptr<Conn> &conn,
            const QJsonObject &first)
{
    std::shared_ptr<NativeRecorder> recorder;
    {
        std::unique_lock lock(shared.lock);
        if (shared.recorder) {
            lock.unlock();
            conn->send(errorReply("already recording"));
            return;
        }
        const QJsonValue frames = first.value("frames_dir");
        const QJsonValue audio = first.value("audio_dir");
        if (!frames.isString() || !audio.isString()) {
            lock.unlock();
            conn->send(errorReply("frames_dir and audio_dir are required"));
            return;
        }
        NativeRecorder::Options opts;
        opts.framesDir = frames.toString();
        opts.audioDir = audio.toString();
        opts.display = integerParameter(first, "display", 1);
        opts.audio = boolParameter(first, "audio", true);
        opts.microphone = boolParameter(first, "microphone", true);
        opts.screen = boolParameter(first, "screen", true);
        NativeRecorder::Emit sendLine = [conn](const QJsonObject &line) {
            conn->send(line);
        };
        recorder = shared.factory
            ? shared.factory(std::move(opts), std::move(sendLine))
            : std::make_shared<NativeRecorder>(std::move(opts), std::move(sendLine),
                                               &ScreenSource::create, &AudioSource::create,
                                               &NativeRecorder::liveActivity);
        shared.recorder = recorder;
    }

    const auto release = [&] {
        std::lock_guard lock(shared.lock);
        shared.recorder.reset();
    };
    try {
        recorder->start();
    } catch (const DomainError &error) {
        QJsonObject reply = errorReply(error.description());
        reply.insert("fatal", true);
        if (error.domain() == QLatin1String("VelkoPermission"))
            reply.insert("permission", "screen");
        conn->send(reply);
        release();
        return;
    }

    while (const std::optional<QJsonObject> line = conn->readLine()) {
        if (line->value("cmd") == QLatin1String("stop"))
            break;
    }
    const QJsonObject summary = recorder->stop();
    conn->send({{"type", "done"}, {"verify", summary}});
    release();
}

void serve(const std::shared_ptr<HostControl::Shared> &shared, int fd)
{
    const auto conn = std::make_shared<Conn>(fd);
    const std::optional<QJsonObject> first = conn->readLine();
    if (first) {
        const QJsonValue token = first->value("token");
        const QJsonValue cmd = first->value("cmd");
        if (!token.isString() || token.toString() != shared->token) {
            conn->send(errorReply("unauthorized"));
        } else if (cmd == QLatin1String("status")) {
            std::shared_ptr<NativeRecorder> recorder;
            {
                std::lock_guard lock(shared->lock);
                recorder = shared->recorder;
            }
            conn->send({{"type", "status"},
                        {"recording", bool(recorder)},
                        {"frames", recorder ? recorder->frameCount() : 0},
                        {"clicks", recorder ? recorder->clickCount() : 0},
                        {"states", recorder ? recorder->stateCount() : 0}});
        } else if (cmd == QLatin1String("start")) {
            record(*shared, conn, *first);
        } else {
            conn->send(errorReply("unknown command"));
        }
    }
    conn->close();
}

} // namespace

HostControl::HostControl(QString path, QString token)
    : m_path(std::move(path))
    , m_shared(std::make_shared<Shared>())
{
    m_shared->token = std::move(token);
}

HostControl::~HostControl()
{
    stop();
}

void HostControl::setRecorderFactory(RecorderFactory factory)
{
    std::lock_guard lock(m_shared->lock);
    m_shared->factory = std::move(factory);
}

void HostControl::start()
{
    const QByteArray native = QFile::encodeName(m_path);
    ::unlink(native.constData());
    m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0)
        throw DomainError::posix("socket", errno);
    const auto fail = [this](const QString &what, int error) {
        ::close(m_fd);
        m_fd = -1;
        return DomainError::posix(what, error);
    };
    sockaddr_un address {};
    if (size_t(native.size()) > sizeof(address.sun_path) - 1)
        throw fail("socket path too long", ENAMETOOLONG);
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path, native.constData(), size_t(native.size()));

    const mode_t oldMask = ::umask(077);
    if (::bind(m_fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        const int error = errno;
        ::umask(oldMask);
        throw fail("bind", error);
    }
    if (::chmod(native.constData(), 0600) != 0 || ::listen(m_fd, 4) != 0) {
        const int error = errno;
        ::umask(oldMask);
        throw fail("listen", error);
    }
    m_running = true;
    m_acceptThread = std::thread([this] { acceptLoop(); });
    ::umask(oldMask);
}

void HostControl::stop()
{
    m_running = false;
    if (m_fd >= 0) {
        // Wakes the blocked accept; the descriptor is closed only once nobody waits on it.
        ::shutdown(m_fd, SHUT_RDWR);
        if (m_acceptThread.joinable())
            m_acceptThread.join();
        ::close(m_fd);
        m_fd = -1;
    }
    ::unlink(QFile::encodeName(m_path).constData());
}

void HostControl::acceptLoop()
{
    pthread_setname_np(pthread_self(), "velko.host.cont");
    while (m_running) {
        const int fd = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            // A lasting failure (no descriptors left) is retried at a calm pace.
            if (errno != EINTR && errno != ECONNABORTED && m_running)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            continue;
        }
        std::thread([shared = m_shared, fd] { serve(shared, fd); }).detach();
    }
}
