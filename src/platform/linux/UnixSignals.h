#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <initializer_list>
#include <memory>

// Delivers POSIX signals (SIGTERM, SIGINT, ...) on the main thread: the handler only writes the
// signal's number to a pipe that the event loop watches. One instance per process.
class UnixSignals : public QObject
{
    Q_OBJECT

public:
    explicit UnixSignals(std::initializer_list<int> numbers, QObject *parent = nullptr);
    ~UnixSignals() override;

signals:
    void received(int signal);

private:
    void drain();

    std::unique_ptr<QSocketNotifier> m_notifier;
    QList<int> m_signals;
};
