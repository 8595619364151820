#pragma once

#include <QDBusConnection>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QString>

#include <optional>

// The login manager (logind): this machine's sleep and shutdown, this session's unlock, and the
// inhibitor that keeps the machine from idle sleep while it is held.
class Logind : public QObject
{
    Q_OBJECT

public:
    explicit Logind(QDBusConnection bus = QDBusConnection::systemBus(), QObject *parent = nullptr);

    // Asks for the idle-sleep inhibitor; nothing more while it is held or asked for.
    void inhibitIdleSleep(const QString &why);
    // Gives it back (also one still on its way).
    void releaseIdleSleep();
    bool holdsInhibitor() const { return m_inhibitor.has_value(); }

signals:
    void woke();
    void poweringOff();
    void unlocked();
    void inhibitFailed(const QString &reason);

private slots:
    void onPrepareForSleep(bool starting);
    void onPrepareForShutdown(bool starting);
    void onSessionUnlock();
    void onSessionProperties(const QString &interface, const QVariantMap &changed,
                             const QStringList &invalidated);

private:
    void watchSession();

    QDBusConnection m_bus;
    bool m_wanted = false;
    bool m_asking = false;
    std::optional<QDBusUnixFileDescriptor> m_inhibitor;
};
