#pragma once

#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QStringList>
#include <QVariantMap>

// Stand-ins for the desktop's D-Bus services, each on a connection of its own to the private
// test session bus, so that the code under test reaches them exactly as it reaches the real ones.

struct ShownNotification
{
    QString appName;
    QString title;
    QString body;
    QStringList actions;
    QVariantMap hints;
    uint id = 0;
};

class FakeNotificationServer : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    FakeNotificationServer();
    ~FakeNotificationServer() override;
    bool registered() const { return m_registered; }

    QList<ShownNotification> shown;
    void click(uint id, const QString &action = QStringLiteral("default"));
    void close(uint id);

public slots:
    uint Notify(const QString &appName, uint replacesId, const QString &icon,
                const QString &summary, const QString &body, const QStringList &actions,
                const QVariantMap &hints, int timeout);
    QStringList GetCapabilities();

private:
    QDBusConnection m_bus;
    bool m_registered = false;
};

class FakeLogind : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")

public:
    FakeLogind();
    ~FakeLogind() override;
    bool registered() const { return m_registered; }

    int inhibitCalls = 0;
    QStringList lastInhibit;
    // Whether the last inhibitor handed out is still open in some process.
    bool inhibitorHeld() const;

    void sendPrepareForSleep(bool starting);
    void sendPrepareForShutdown(bool starting);
    void sendUnlock();
    void sendLockedHint(bool locked);

public slots:
    QDBusUnixFileDescriptor Inhibit(const QString &what, const QString &who, const QString &why,
                                    const QString &mode);
    QDBusObjectPath GetSession(const QString &id);

private:
    QDBusConnection m_bus;
    bool m_registered = false;
    int m_readEnd = -1;
};
