#pragma once

#include <QFileSystemWatcher>
#include <QObject>
#include <QSocketNotifier>
#include <QString>

#include <memory>

// Reports when the system clock is set (a timer that the kernel cancels on every discontinuous
// change of the real-time clock) and when the time zone changes (a watch on the zone file).
class ClockWatch : public QObject
{
    Q_OBJECT

public:
    explicit ClockWatch(QString zoneFile = QStringLiteral("/etc/localtime"),
                        QObject *parent = nullptr);
    ~ClockWatch() override;

signals:
    void clockChanged();
    void timeZoneChanged();

private:
    bool arm();
    void onTimer();
    void onZoneEvent();
    QString zoneSignature() const;

    int m_timer = -1;
    std::unique_ptr<QSocketNotifier> m_notifier;
    QString m_zoneFile;
    QString m_zone;
    QFileSystemWatcher m_watcher;
};
