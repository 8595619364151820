#include "platform/linux/dbus/Logind.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QPointer>

#include <qcoro/qcorodbuspendingcall.h>

namespace {

const QString kService = QStringLiteral("org.freedesktop.login1");
const QString kManagerPath = QStringLiteral("/org/freedesktop/login1");
const QString kManager = QStringLiteral("org.freedesktop.login1.Manager");
const QString kSession = QStringLiteral("org.freedesktop.login1.Session");
constexpr int kTimeoutMs = 10000;

QString reason(const QDBusMessage &reply)
{
    return reply.errorMessage().isEmpty() ? reply.errorName() : reply.errorMessage();
}

} // namespace

Logind::Logind(QDBusConnection bus, QObject *parent)
    : QObject(parent)
    , m_bus(std::move(bus))
{
    if (!m_bus.isConnected())
        return;
    m_bus.connect(kService, kManagerPath, kManager, QStringLiteral("PrepareForSleep"), this,
                  SLOT(onPrepareForSleep(bool)));
    m_bus.connect(kService, kManagerPath, kManager, QStringLiteral("PrepareForShutdown"), this,
                  SLOT(onPrepareForShutdown(bool)));
    watchSession();
}

void Logind::watchSession()
{
    // The session of this process: the one named by the environment, else logind's own choice.
    const QString id = qEnvironmentVariable("XDG_SESSION_ID", QStringLiteral("auto"));
    QDBusMessage get = QDBusMessage::createMethodCall(kService, kManagerPath, kManager,
                                                      QStringLiteral("GetSession"));
    get << id;
    [](QPointer<Logind> self, QDBusPendingCall call) -> QCoro::Task<> {
        const QDBusMessage reply = co_await call;
        if (!self || reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
            co_return;
        const QString path = qdbus_cast<QDBusObjectPath>(reply.arguments().constFirst()).path();
        self->m_bus.connect(kService, path, kSession, QStringLiteral("Unlock"), self,
                            SLOT(onSessionUnlock()));
        self->m_bus.connect(kService, path, QStringLiteral("org.freedesktop.DBus.Properties"),
                            QStringLiteral("PropertiesChanged"), self,
                            SLOT(onSessionProperties(QString, QVariantMap, QStringList)));
    }(QPointer(this), m_bus.asyncCall(get, kTimeoutMs));
}

void Logind::inhibitIdleSleep(const QString &why)
{
    if (m_wanted)
        return;
    m_wanted = true;
    if (m_asking || m_inhibitor)
        return;
    m_asking = true;
    QDBusMessage inhibit =
        QDBusMessage::createMethodCall(kService, kManagerPath, kManager, QStringLiteral("Inhibit"));
    inhibit << QStringLiteral("idle:sleep") << QStringLiteral("Velko AI") << why
            << QStringLiteral("block");
    [](QPointer<Logind> self, QDBusPendingCall call) -> QCoro::Task<> {
        const QDBusMessage reply = co_await call;
        if (!self)
            co_return;
        self->m_asking = false;
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
            self->m_wanted = false;
            emit self->inhibitFailed(reason(reply));
            co_return;
        }
        // Released while on its way: the descriptor closes when it goes out of scope here.
        if (self->m_wanted)
            self->m_inhibitor = qdbus_cast<QDBusUnixFileDescriptor>(reply.arguments().constFirst());
    }(QPointer(this), m_bus.asyncCall(inhibit, kTimeoutMs));
}

void Logind::releaseIdleSleep()
{
    m_wanted = false;
    m_inhibitor.reset(); // closing the descriptor ends the inhibition
}

void Logind::onPrepareForSleep(bool starting)
{
    if (!starting)
        emit woke();
}

void Logind::onPrepareForShutdown(bool starting)
{
    if (starting)
        emit poweringOff();
}

void Logind::onSessionUnlock()
{
    emit unlocked();
}

void Logind::onSessionProperties(const QString &interface, const QVariantMap &changed,
                                 const QStringList &)
{
    const auto locked = changed.constFind(QStringLiteral("LockedHint"));
    if (interface == kSession && locked != changed.constEnd() && !locked->toBool())
        emit unlocked();
}
