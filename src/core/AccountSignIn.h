#pragma once

#include <exception>
#include <optional>

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>

#include <QCoro/QCoroTask>

#include "platform/WebAuthSession.h"

// Signs this computer in to the account service: an authorization-code sign-in with PKCE in the
// user's browser, exchanged for a device key that is kept only in the keyring (item
// "VELKO_TOKEN"), its identifier in the setting "deviceKeyId". Also lists the identity
// providers, reads the signed-in account and signs out. Every operation takes the service's base
// address as the user gave it; everything runs on the main thread.
class AccountSignIn : public QObject
{
    Q_OBJECT

public:
    // The account service puts this in front of every device key; a stored key without it
    // counts as signed out.
    static constexpr QLatin1StringView deviceKeyPrefix {"vlk_"};
    // The keyring item and setting that hold the device key and its identifier.
    static constexpr QLatin1StringView keyAccount {"VELKO_TOKEN"};
    static constexpr QLatin1StringView keyIdSetting {"deviceKeyId"};

    struct Provider
    {
        QString id;
        QString label;
        bool operator==(const Provider &) const = default;
    };

    struct Account
    {
        std::optional<QString> email;
        std::optional<QString> name;
        std::optional<QString> status;
    };

    // Why a sign-in did not finish; description() is what the user sees.
    class Failure : public std::exception
    {
    public:
        enum class Kind { Refused, Failed, Cancelled };

        static Failure refused(const QString &message);
        static Failure failed(const QString &message);
        static Failure cancelled();

        Kind kind() const { return m_kind; }
        QString message() const { return m_message; }
        QString description() const;
        const char *what() const noexcept override { return m_what.constData(); }

    private:
        Failure(Kind kind, const QString &message);

        Kind m_kind;
        QString m_message;
        QByteArray m_what;
    };

    explicit AccountSignIn(QObject *parent = nullptr);

    // Signs in with the identity provider `provider` (its id) and returns the account. Throws
    // Failure; a network error during the code exchange comes as `failed` with the system's
    // text. A failed sign-in leaves an earlier key untouched. Starting a new sign-in ends the
    // one before as cancelled.
    QCoro::Task<Account> signIn(QString server, QString provider);

    // The browser session of the running sign-in (to cancel it, or to change its time limit).
    WebAuthSession *session() { return &m_session; }

    // The service's identity providers, in its order; "google" alone when they cannot be read.
    static QCoro::Task<QList<Provider>> providers(QString server);
    // The signed-in account as the service describes it; nothing without a valid key or answer.
    static QCoro::Task<std::optional<QJsonObject>> account(QString server);

    // Each tells the service (when a valid key is stored) and then, whatever happened, forgets
    // the key and its identifier.
    static QCoro::Task<> signOut(QString server);
    static QCoro::Task<> signOutEverywhere(QString server);
    static QCoro::Task<> deleteAccount(QString server);

    // The stored device key when it carries the service's prefix.
    static std::optional<QString> storedKey();
    // `server` trimmed of spaces and tabs at both ends and stripped of every trailing "/".
    static QString baseAddress(const QString &server);
    // n secure random bytes, Base64url-encoded without padding.
    static QString random(int n);
    // The PKCE S256 challenge of a verifier.
    static QString challenge(const QString &verifier);
    // The name this computer goes by in the account's list of devices.
    static QString label();

private:
    WebAuthSession m_session;
};
