#include "app/FakeDesktop.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

const QString kSessionPath = QStringLiteral("/org/freedesktop/login1/session/test");

QDBusConnection privateConnection(const QString &name)
{
    return QDBusConnection::connectToBus(QDBusConnection::SessionBus, name);
}

} // namespace

FakeNotificationServer::FakeNotificationServer()
    : m_bus(privateConnection(QStringLiteral("fake-notifications")))
{
    m_registered = m_bus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), this,
                                        QDBusConnection::ExportAllSlots) &&
        m_bus.registerService(QStringLiteral("org.freedesktop.Notifications"));
}

FakeNotificationServer::~FakeNotificationServer()
{
    m_bus.unregisterService(QStringLiteral("org.freedesktop.Notifications"));
    m_bus.unregisterObject(QStringLiteral("/org/freedesktop/Notifications"));
    QDBusConnection::disconnectFromBus(QStringLiteral("fake-notifications"));
}

uint FakeNotificationServer::Notify(const QString &appName, uint, const QString &,
                                    const QString &summary, const QString &body,
                                    const QStringList &actions, const QVariantMap &hints, int)
{
    const uint id = uint(shown.size()) + 1;
    shown.append({appName, summary, body, actions, hints, id});
    return id;
}

QStringList FakeNotificationServer::GetCapabilities()
{
    return {QStringLiteral("body"), QStringLiteral("actions")};
}

void FakeNotificationServer::click(uint id, const QString &action)
{
    QDBusMessage signal = QDBusMessage::createSignal(
        QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("ActionInvoked"));
    signal << id << action;
    m_bus.send(signal);
}

void FakeNotificationServer::close(uint id)
{
    QDBusMessage signal = QDBusMessage::createSignal(
        QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("NotificationClosed"));
    signal << id << 2u;
    m_bus.send(signal);
}

FakeLogind::FakeLogind()
    : m_bus(privateConnection(QStringLiteral("fake-logind")))
{
    m_registered = m_bus.registerObject(QStringLiteral("/org/freedesktop/login1"), this,
                                        QDBusConnection::ExportAllSlots) &&
        m_bus.registerService(QStringLiteral("org.freedesktop.login1"));
}

FakeLogind::~FakeLogind()
{
    if (m_readEnd >= 0)
        ::close(m_readEnd);
    m_bus.unregisterService(QStringLiteral("org.freedesktop.login1"));
    m_bus.unregisterObject(QStringLiteral("/org/freedesktop/login1"));
    QDBusConnection::disconnectFromBus(QStringLiteral("fake-logind"));
}

QDBusUnixFileDescriptor FakeLogind::Inhibit(const QString &what, const QString &who,
                                            const QString &why, const QString &mode)
{
    ++inhibitCalls;
    lastInhibit = {what, who, why, mode};
    if (m_readEnd >= 0)
        ::close(m_readEnd);
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return {};
    m_readEnd = ends[0];
    QDBusUnixFileDescriptor writeEnd(ends[1]); // keeps a copy of its own
    ::close(ends[1]);
    return writeEnd;
}

QDBusObjectPath FakeLogind::GetSession(const QString &)
{
    return QDBusObjectPath(kSessionPath);
}

bool FakeLogind::inhibitorHeld() const
{
    if (m_readEnd < 0)
        return false;
    // The read end reports a hang-up once every copy of the write end is closed.
    pollfd fd {m_readEnd, POLLIN, 0};
    return ::poll(&fd, 1, 0) == 0;
}

void FakeLogind::sendPrepareForSleep(bool starting)
{
    QDBusMessage signal = QDBusMessage::createSignal(
        QStringLiteral("/org/freedesktop/login1"), QStringLiteral("org.freedesktop.login1.Manager"),
        QStringLiteral("PrepareForSleep"));
    signal << starting;
    m_bus.send(signal);
}

void FakeLogind::sendPrepareForShutdown(bool starting)
{
    QDBusMessage signal = QDBusMessage::createSignal(
        QStringLiteral("/org/freedesktop/login1"), QStringLiteral("org.freedesktop.login1.Manager"),
        QStringLiteral("PrepareForShutdown"));
    signal << starting;
    m_bus.send(signal);
}

void FakeLogind::sendUnlock()
{
    m_bus.send(QDBusMessage::createSignal(
        kSessionPath, QStringLiteral("org.freedesktop.login1.Session"), QStringLiteral("Unlock")));
}

void FakeLogind::sendLockedHint(bool locked)
{
    QDBusMessage signal =
        QDBusMessage::createSignal(kSessionPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                                   QStringLiteral("PropertiesChanged"));
    signal << QStringLiteral("org.freedesktop.login1.Session")
           << QVariantMap {{QStringLiteral("LockedHint"), locked}} << QStringList();
    m_bus.send(signal);
}
