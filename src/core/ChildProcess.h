#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <sys/types.h>

// One child program with its standard output and standard error merged into one pipe and its
// standard input from /dev/null. Unlike QProcess it belongs to no thread: a reader thread hands
// the output to `onOutput` as it arrives and a waiter thread reaps the child the moment it ends,
// so it can be started and stopped from a background task as well as the main thread, and a
// process-tree stop never waits on an unreaped zombie.
class ChildProcess
{
public:
    struct Spec
    {
        QString program;
        QStringList arguments;
        QString workingDirectory;
        QStringList environment; // "NAME=value" entries, the whole environment
    };
    // Both run on the process's own threads. The exit handler runs after the output handler has
    // seen end of file, or after a short wait when descendants still hold the pipe open.
    using OutputHandler = std::function<void(const QByteArray &)>;
    using ExitHandler = std::function<void(int status)>;

    ChildProcess() = default;
    // Kills a child that still runs and waits for both threads, so no handler runs afterwards.
    ~ChildProcess();

    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    // Returns the system's reason when the program cannot be run.
    std::optional<QString> start(const Spec &spec, OutputHandler onOutput, ExitHandler onExit);

    pid_t pid() const { return m_pid; }
    bool isRunning() const { return m_pid > 0 && !m_exited.load(); }
    // Waits up to `msecs` (forever when negative) for the exit handler to have run.
    bool waitForExit(int msecs = -1);
    // The exit status, or the signal number for a child ended by a signal.
    int exitStatus() const { return m_status.load(); }

private:
    void readOutput(int fd);
    void waitForChild();

    pid_t m_pid = -1;
    int m_wakeFd = -1; // eventfd that ends the reader when the pipe stays open after the exit
    std::atomic<bool> m_exited {false};
    std::atomic<int> m_status {0};
    OutputHandler m_onOutput;
    ExitHandler m_onExit;
    std::thread m_reader;
    std::thread m_waiter;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_outputDone = false;
    bool m_exitReported = false;
};
