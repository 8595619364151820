#pragma once

#include "platform/Notifications.h"

#include <QDBusConnection>
#include <QHash>

// Notifications through org.freedesktop.Notifications on the session bus. A click arrives as the
// "default" action of ActionInvoked.
class DBusNotifications : public Notifications
{
    Q_OBJECT

public:
    explicit DBusNotifications(QDBusConnection bus = QDBusConnection::sessionBus(),
                               QObject *parent = nullptr);

    QCoro::Task<std::optional<QString>> show(QString title, QString body,
                                             QVariantMap userInfo) override;
    QCoro::Task<std::optional<QString>> authorize() override;

private slots:
    void onActionInvoked(uint id, const QString &action);
    void onClosed(uint id, uint reason);

private:
    QDBusConnection m_bus;
    QHash<uint, QVariantMap> m_shown;
};
