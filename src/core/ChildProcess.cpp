#include "core/ChildProcess.h"

#include <chrono>
#include <vector>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// How long the exit waits for the rest of the output once the child is gone: its descendants may
// keep the pipe open for much longer.
constexpr auto outputGrace = std::chrono::milliseconds(200);

std::vector<char *> cStrings(std::vector<QByteArray> &storage)
{
    std::vector<char *> pointers;
    pointers.reserve(storage.size() + 1);
    for (QByteArray &entry : storage)
        pointers.push_back(entry.data());
    pointers.push_back(nullptr);
    return pointers;
}

} // namespace

ChildProcess::~ChildProcess()
{
    if (isRunning())
        ::kill(m_pid, SIGKILL);
    if (m_waiter.joinable())
        m_waiter.join();
    if (m_reader.joinable()) {
        const quint64 one = 1;
        [[maybe_unused]] const auto written = ::write(m_wakeFd, &one, sizeof one);
        m_reader.join();
    }
    if (m_wakeFd >= 0)
        ::close(m_wakeFd);
}

std::optional<QString> ChildProcess::start(const Spec &spec, OutputHandler onOutput,
                                           ExitHandler onExit)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    m_wakeFd = ::eventfd(0, EFD_CLOEXEC);
    if (m_wakeFd < 0) {
        const int error = errno;
        ::close(fds[0]);
        ::close(fds[1]);
        return QString::fromLocal8Bit(std::strerror(error));
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    const QByteArray workingDirectory = spec.workingDirectory.toLocal8Bit();
    if (!workingDirectory.isEmpty())
        posix_spawn_file_actions_addchdir_np(&actions, workingDirectory.constData());

    // The child starts with default signal handling and nothing blocked, whatever this process
    // changed for itself.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    const QByteArray program = spec.program.toLocal8Bit();
    std::vector<QByteArray> argStorage {program};
    for (const QString &argument : spec.arguments)
        argStorage.push_back(argument.toLocal8Bit());
    std::vector<QByteArray> envStorage;
    for (const QString &entry : spec.environment)
        envStorage.push_back(entry.toLocal8Bit());
    std::vector<char *> argv = cStrings(argStorage);
    std::vector<char *> envp = cStrings(envStorage);

    pid_t pid = -1;
    const int error =
        ::posix_spawn(&pid, program.constData(), &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(fds[1]);
    if (error != 0) {
        ::close(fds[0]);
        return QString::fromLocal8Bit(std::strerror(error));
    }

    m_pid = pid;
    m_onOutput = std::move(onOutput);
    m_onExit = std::move(onExit);
    m_reader = std::thread([this, fd = fds[0]] { readOutput(fd); });
    m_waiter = std::thread([this] { waitForChild(); });
    return std::nullopt;
}

void ChildProcess::readOutput(int fd)
{
    pollfd polled[2] = {{fd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
    char buffer[16384];
    for (;;) {
        if (::poll(polled, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (polled[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t count = ::read(fd, buffer, sizeof buffer);
            if (count < 0 && errno == EINTR)
                continue;
            if (count <= 0)
                break;
            if (m_onOutput)
                m_onOutput(QByteArray(buffer, count));
            continue;
        }
        if (polled[1].revents & POLLIN)
            break;
    }
    ::close(fd);
    std::lock_guard lock(m_mutex);
    m_outputDone = true;
    m_changed.notify_all();
}

void ChildProcess::waitForChild()
{
    int raw = 0;
    while (::waitpid(m_pid, &raw, 0) < 0 && errno == EINTR) { }
    m_status = WIFSIGNALED(raw) ? WTERMSIG(raw) : WEXITSTATUS(raw);
    m_exited = true;
    {
        std::unique_lock lock(m_mutex);
        if (!m_changed.wait_for(lock, outputGrace, [this] { return m_outputDone; })) {
            const quint64 one = 1;
            [[maybe_unused]] const auto written = ::write(m_wakeFd, &one, sizeof one);
            m_changed.wait(lock, [this] { return m_outputDone; });
        }
    }
    if (m_onExit)
        m_onExit(m_status);
    std::lock_guard lock(m_mutex);
    m_exitReported = true;
    m_changed.notify_all();
}

bool ChildProcess::waitForExit(int msecs)
{
    if (m_pid <= 0)
        return true;
    std::unique_lock lock(m_mutex);
    if (msecs < 0) {
        m_changed.wait(lock, [this] { return m_exitReported; });
        return true;
    }
    return m_changed.wait_for(lock, std::chrono::milliseconds(msecs),
                              [this] { return m_exitReported; });
}
