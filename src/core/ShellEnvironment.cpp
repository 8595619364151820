#include "core/ShellEnvironment.h"

#include "core/ProcessTree.h"

#include <QSet>
#include <QStringDecoder>

#include <array>
#include <thread>

#include <cerrno>
#include <fcntl.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

const QString marker = QStringLiteral("__VELKO__");

// Reads what is available without blocking; a background process of the shell may keep the pipe
// open after the shell itself ended.
void drain(int fd, QByteArray &output)
{
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            output.append(buffer, n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return;
    }
}

} // namespace

namespace ShellEnvironment {

QString shell()
{
    QString value = qEnvironmentVariable("SHELL");
    if (!value.isEmpty())
        return value;
    passwd entry {};
    passwd *found = nullptr;
    std::array<char, 4096> buffer {};
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_shell && *found->pw_shell)
        return QString::fromLocal8Bit(found->pw_shell);
    return QStringLiteral("/bin/sh");
}

std::optional<QString> loginPath(std::chrono::milliseconds timeout)
{
    using namespace std::chrono_literals;
    const QByteArray program = shell().toLocal8Bit();
    const QByteArray script = "printf '__VELKO__%s__VELKO__' \"$PATH\"";
    char *argv[] = {const_cast<char *>(program.constData()),
                    const_cast<char *>("-l"),
                    const_cast<char *>("-i"),
                    const_cast<char *>("-c"),
                    const_cast<char *>(script.constData()),
                    nullptr};

    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return std::nullopt;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    // A session of its own: the interactive shell must not take over a terminal we may have.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    pid_t pid = 0;
    const int spawned =
        ::posix_spawn(&pid, program.constData(), &actions, &attributes, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(pipe[1]);
    if (spawned != 0) {
        ::close(pipe[0]);
        return std::nullopt;
    }

    QByteArray output;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    bool exited = false;
    for (;;) {
        drain(pipe[0], output);
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            exited = true;
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            break;
        std::this_thread::sleep_for(20ms);
    }
    if (!exited) {
        // An interactive shell ignores SIGTERM, so its tree is ended without a grace period.
        ProcessTree::terminate(pid, 0ms);
        ::waitpid(pid, nullptr, 0);
        ::close(pipe[0]);
        return std::nullopt;
    }
    drain(pipe[0], output);
    ::close(pipe[0]);

    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString text = decoder.decode(output);
    if (decoder.hasError())
        return std::nullopt;
    return parse(text);
}

std::optional<QString> parse(const QString &output)
{
    const qsizetype open = output.indexOf(marker);
    if (open < 0)
        return std::nullopt;
    const qsizetype start = open + marker.size();
    const qsizetype close = output.indexOf(marker, start);
    if (close < 0 || close == start)
        return std::nullopt;
    return output.mid(start, close - start);
}

QString pipelinePath(const QString &pythonBin, const QStringList &bundled,
                     const std::optional<QString> &login)
{
    QStringList candidates {pythonBin};
    candidates += bundled;
    if (login)
        candidates += login->split(':', Qt::SkipEmptyParts);
    candidates += {QStringLiteral("/opt/homebrew/bin"), QStringLiteral("/usr/local/bin"),
                   QStringLiteral("/usr/bin"),          QStringLiteral("/bin"),
                   QStringLiteral("/usr/sbin"),         QStringLiteral("/sbin")};
    QStringList path;
    QSet<QString> seen;
    for (const QString &candidate : candidates) {
        if (candidate.isEmpty() || seen.contains(candidate))
            continue;
        seen.insert(candidate);
        path.append(candidate);
    }
    return path.join(':');
}

} // namespace ShellEnvironment
