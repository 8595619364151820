#pragma once

#include <chrono>
#include <optional>

#include <QList>
#include <QString>

#include <sys/types.h>

// The live process table, read from /proc, and the ending of whole process trees: every stop of
// a child program goes through terminate() so that the interpreters, browsers and tools it
// started end with it.
namespace ProcessTree {

struct Entry
{
    pid_t pid = 0;
    pid_t ppid = 0;
    bool operator==(const Entry &) const = default;
};

// Every process on the system, in /proc's order; empty when /proc cannot be read.
QList<Entry> snapshot();

// The root followed by all its descendants (depth first). The root is always first, also when
// it no longer exists. Without entries a fresh snapshot is taken.
QList<pid_t> descendants(pid_t root, const std::optional<QList<Entry>> &entries = std::nullopt);

// The argument vector joined by single spaces; absent when it cannot be read or is empty (a
// vanished process, a zombie, a kernel thread).
std::optional<QString> command(pid_t pid);

// The value of one variable in the process's environment as it was started; absent when the
// variable is not there or the environment cannot be read (another user's process).
std::optional<QString> environment(pid_t pid, const QString &name);

// True when the process exists and has not yet exited (a zombie waiting to be reaped counts as
// ended), also when it belongs to another user.
bool isAlive(pid_t pid);

// SIGTERM to the root and its descendants, up to `grace` for them to end, then SIGKILL to every
// one still alive, including those started meanwhile. Returns the ids still alive afterwards,
// ascending (normally none). Blocks for at most grace + about 150 ms. Ids below 2 are refused
// (they would signal a process group, every process, or init) and give an empty result.
QList<pid_t> terminate(pid_t root, std::chrono::milliseconds grace);

} // namespace ProcessTree
