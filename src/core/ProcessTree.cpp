#include "core/ProcessTree.h"

#include <QHash>
#include <QSet>

#include <algorithm>
#include <filesystem>
#include <thread>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

std::optional<QByteArray> readProcFile(pid_t pid, const char *name)
{
    if (pid <= 0)
        return std::nullopt;
    const QByteArray path = "/proc/" + QByteArray::number(pid) + '/' + name;
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    QByteArray content;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0)
            break;
        content.append(buffer, n);
    }
    ::close(fd);
    return content;
}

struct Stat
{
    char state = 0;
    pid_t ppid = 0;
};

// The command field of /proc/<pid>/stat may itself hold spaces and parentheses, so the fields
// are read after the last ')'.
std::optional<Stat> readStat(pid_t pid)
{
    const auto content = readProcFile(pid, "stat");
    if (!content)
        return std::nullopt;
    const qsizetype close = content->lastIndexOf(')');
    if (close < 0)
        return std::nullopt;
    const QList<QByteArray> fields = content->mid(close + 1).simplified().split(' ');
    if (fields.size() < 2 || fields[0].size() != 1)
        return std::nullopt;
    bool ok = false;
    const pid_t ppid = fields[1].toInt(&ok);
    if (!ok)
        return std::nullopt;
    return Stat {fields[0][0], ppid};
}

} // namespace

namespace ProcessTree {

QList<Entry> snapshot()
{
    QList<Entry> entries;
    std::error_code error;
    for (auto it = std::filesystem::directory_iterator("/proc", error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
        bool ok = false;
        const pid_t pid = QByteArray::fromStdString(it->path().filename().string()).toInt(&ok);
        if (!ok || pid <= 0)
            continue;
        if (const auto stat = readStat(pid))
            entries.append({pid, stat->ppid});
    }
    return entries;
}

QList<pid_t> descendants(pid_t root, const std::optional<QList<Entry>> &entries)
{
    const QList<Entry> table = entries ? *entries : snapshot();
    QHash<pid_t, QList<pid_t>> children;
    for (const Entry &entry : table)
        children[entry.ppid].append(entry.pid);

    QList<pid_t> result {root};
    QList<pid_t> stack {root};
    QSet<pid_t> seen {root};
    while (!stack.isEmpty()) {
        const pid_t current = stack.takeLast();
        for (const pid_t child : children.value(current)) {
            if (seen.contains(child))
                continue;
            seen.insert(child);
            result.append(child);
            stack.append(child);
        }
    }
    return result;
}

std::optional<QString> command(pid_t pid)
{
    auto content = readProcFile(pid, "cmdline");
    if (!content || content->isEmpty())
        return std::nullopt;
    if (content->endsWith('\0'))
        content->chop(1);
    QStringList arguments;
    for (const QByteArray &argument : content->split('\0'))
        arguments.append(QString::fromUtf8(argument));
    return arguments.join(' ');
}

std::optional<QString> environment(pid_t pid, const QString &name)
{
    const auto content = readProcFile(pid, "environ");
    if (!content)
        return std::nullopt;
    const QByteArray prefix = name.toUtf8() + '=';
    for (const QByteArray &variable : content->split('\0')) {
        if (variable.startsWith(prefix))
            return QString::fromUtf8(variable.mid(prefix.size()));
    }
    return std::nullopt;
}

bool isAlive(pid_t pid)
{
    if (pid <= 0)
        return false;
    if (::kill(pid, 0) != 0 && errno != EPERM)
        return false;
    // A child that exited stays a zombie until its parent reaps it; it answers signal 0 but is
    // gone for every purpose here.
    const auto stat = readStat(pid);
    return !stat || stat->state != 'Z';
}

QList<pid_t> terminate(pid_t root, std::chrono::milliseconds grace)
{
    using namespace std::chrono_literals;
    if (root <= 1)
        return {};

    const QList<pid_t> first = descendants(root);
    for (const pid_t pid : first)
        ::kill(pid, SIGTERM);

    const auto deadline = std::chrono::steady_clock::now() + grace;
    while (std::chrono::steady_clock::now() < deadline) {
        if (std::none_of(first.cbegin(), first.cend(), isAlive))
            break;
        std::this_thread::sleep_for(50ms);
    }

    // A member whose parent ended was adopted by a subreaper and is no longer below the root, yet
    // its children started during the grace period belong to the tree: look below every member.
    // Members are stopped before each look, so none can start a child between the last look and
    // the kill; a child started while a stop was on its way is found by the next look.
    QList<pid_t> all = first;
    QSet<pid_t> known(first.cbegin(), first.cend());
    QList<pid_t> unstopped = first;
    for (int round = 0; round < 8 && !unstopped.isEmpty(); ++round) {
        for (const pid_t pid : std::as_const(unstopped))
            ::kill(pid, SIGSTOP);
        // A stop takes effect when the process next runs; until then it may still fork.
        const auto settle = std::chrono::steady_clock::now() + 200ms;
        const auto running = [](pid_t pid) {
            const auto stat = readStat(pid);
            return stat && stat->state != 'T' && stat->state != 't' && stat->state != 'Z';
        };
        while (std::chrono::steady_clock::now() < settle &&
               std::any_of(unstopped.cbegin(), unstopped.cend(), running))
            std::this_thread::sleep_for(1ms);
        unstopped.clear();
        const QList<Entry> table = snapshot();
        for (const pid_t member : std::as_const(all)) {
            for (const pid_t pid : descendants(member, table)) {
                if (!known.contains(pid)) {
                    known.insert(pid);
                    unstopped.append(pid);
                }
            }
        }
        all.append(unstopped);
    }
    for (const pid_t pid : all) {
        if (isAlive(pid))
            ::kill(pid, SIGKILL);
    }

    std::this_thread::sleep_for(100ms);
    QList<pid_t> alive;
    for (const pid_t pid : all) {
        if (isAlive(pid))
            alive.append(pid);
    }
    std::sort(alive.begin(), alive.end());
    return alive;
}

} // namespace ProcessTree
