#include "platform/linux/dbus/DBusNotifications.h"

#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QPointer>

#include <qcoro/qcorodbuspendingcall.h>

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
constexpr int kTimeoutMs = 10000;

QString reason(const QDBusMessage &reply)
{
    return reply.errorMessage().isEmpty() ? reply.errorName() : reply.errorMessage();
}

} // namespace

DBusNotifications::DBusNotifications(QDBusConnection bus, QObject *parent)
    : Notifications(parent)
    , m_bus(std::move(bus))
{
    m_bus.connect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"), this,
                  SLOT(onActionInvoked(uint, QString)));
    m_bus.connect(kService, kPath, kInterface, QStringLiteral("NotificationClosed"), this,
                  SLOT(onClosed(uint, uint)));
}

QCoro::Task<std::optional<QString>> DBusNotifications::show(QString title, QString body,
                                                            QVariantMap userInfo)
{
    if (!m_bus.isConnected())
        co_return QStringLiteral("no session bus");
    QDBusMessage notify =
        QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
    const QVariantMap hints {{QStringLiteral("desktop-entry"), QStringLiteral("velko-ai")},
                             {QStringLiteral("suppress-sound"), true}};
    notify << QStringLiteral("Velko AI") << 0u << QString() << title << body
           << QStringList {QStringLiteral("default"), QStringLiteral("Open")} << hints << -1;
    const QDBusPendingCall call = m_bus.asyncCall(notify, kTimeoutMs);
    QPointer<DBusNotifications> self(this);
    const QDBusMessage reply = co_await call;
    if (reply.type() != QDBusMessage::ReplyMessage)
        co_return reason(reply);
    if (self && !reply.arguments().isEmpty())
        self->m_shown.insert(reply.arguments().constFirst().toUInt(), userInfo);
    co_return std::nullopt;
}

QCoro::Task<std::optional<QString>> DBusNotifications::authorize()
{
    if (!m_bus.isConnected())
        co_return QStringLiteral("no session bus");
    // The desktop asks no permission: a notification server that answers is the grant.
    const QDBusMessage capabilities = QDBusMessage::createMethodCall(
        kService, kPath, kInterface, QStringLiteral("GetCapabilities"));
    const QDBusPendingCall call = m_bus.asyncCall(capabilities, kTimeoutMs);
    const QDBusMessage reply = co_await call;
    if (reply.type() != QDBusMessage::ReplyMessage)
        co_return reason(reply);
    co_return std::nullopt;
}

void DBusNotifications::onActionInvoked(uint id, const QString &action)
{
    const auto shown = m_shown.constFind(id);
    if (shown == m_shown.constEnd() || action != QLatin1String("default"))
        return;
    emit clicked(*shown);
}

void DBusNotifications::onClosed(uint id, uint)
{
    m_shown.remove(id);
}
