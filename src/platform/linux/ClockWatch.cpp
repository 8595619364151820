#include "platform/linux/ClockWatch.h"

#include <QDateTime>
#include <QFileInfo>

#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

ClockWatch::ClockWatch(QString zoneFile, QObject *parent)
    : QObject(parent)
    , m_zoneFile(std::move(zoneFile))
{
    m_timer = ::timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC);
    if (m_timer >= 0 && arm()) {
        m_notifier = std::make_unique<QSocketNotifier>(m_timer, QSocketNotifier::Read);
        connect(m_notifier.get(), &QSocketNotifier::activated, this, &ClockWatch::onTimer);
    }

    // The file is usually a symbolic link that gets replaced, so the folder is watched too.
    m_zone = zoneSignature();
    const QFileInfo zone(m_zoneFile);
    m_watcher.addPath(zone.absolutePath());
    if (zone.exists())
        m_watcher.addPath(m_zoneFile);
    connect(&m_watcher, &QFileSystemWatcher::fileChanged, this, &ClockWatch::onZoneEvent);
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this, &ClockWatch::onZoneEvent);
}

ClockWatch::~ClockWatch()
{
    m_notifier.reset();
    if (m_timer >= 0)
        ::close(m_timer);
}

bool ClockWatch::arm()
{
    // An absolute deadline far away: it never expires, it only gets cancelled.
    itimerspec spec {};
    spec.it_value.tv_sec = QDateTime::currentSecsSinceEpoch() + 10LL * 365 * 24 * 3600;
    return ::timerfd_settime(m_timer, TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &spec,
                             nullptr) == 0;
}

void ClockWatch::onTimer()
{
    std::uint64_t expirations = 0;
    const ssize_t n = ::read(m_timer, &expirations, sizeof expirations);
    if (n < 0 && errno == ECANCELED) {
        arm();
        emit clockChanged();
    } else if (n == sizeof expirations) {
        arm();
    }
}

QString ClockWatch::zoneSignature() const
{
    const QFileInfo zone(m_zoneFile);
    if (!zone.exists())
        return {};
    return zone.symLinkTarget() + QLatin1Char('|') +
        QString::number(zone.lastModified().toMSecsSinceEpoch()) + QLatin1Char('|') +
        QString::number(zone.size());
}

void ClockWatch::onZoneEvent()
{
    if (QFileInfo::exists(m_zoneFile) && !m_watcher.files().contains(m_zoneFile))
        m_watcher.addPath(m_zoneFile);
    const QString zone = zoneSignature();
    if (zone == m_zone)
        return;
    m_zone = zone;
    emit timeZoneChanged();
}
