#include "core/AccountSignIn.h"

#include "core/Keychain.h"

#include <cerrno>
#include <chrono>
#include <cstring>

#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSettings>
#include <QSysInfo>
#include <QUrl>
#include <QUrlQuery>

#include <QCoro/QCoroNetworkReply>

#include <sys/random.h>

using namespace std::chrono_literals;

namespace {

const QString notAUrl = QStringLiteral("the server's address is not a URL");
const QString callbackScheme = QStringLiteral("vuvuvuv");
// The service knows desktop sign-ins by this platform name.
const QString platformName = QStringLiteral("mac");

struct Answer
{
    int status = 0; // the HTTP status, 0 when no HTTP answer came
    QJsonObject json; // the answer when it is a JSON object, else empty
    QString error; // the transport's error text when no HTTP answer came
};

// base + path as an absolute URL with a host, or nothing.
std::optional<QUrl> makeUrl(const QString &base, const QString &path)
{
    const QUrl url(base + path, QUrl::StrictMode);
    if (!url.isValid() || url.isRelative() || url.host().isEmpty())
        return std::nullopt;
    return url;
}

QCoro::Task<Answer> send(QUrl url, std::optional<QJsonObject> body, std::optional<QString> key,
                         std::chrono::milliseconds timeout)
{
    QNetworkAccessManager network;
    QNetworkRequest request(url);
    request.setTransferTimeout(int(timeout.count()));
    if (key)
        request.setRawHeader("Authorization", "Bearer " + key->toUtf8());
    QNetworkReply *reply;
    if (body) {
        request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
        reply = network.post(request, QJsonDocument(*body).toJson(QJsonDocument::Compact));
    } else {
        reply = network.get(request);
    }
    co_await qCoro(reply).waitForFinished();
    Answer answer;
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid()) {
        answer.status = status.toInt();
        answer.json = QJsonDocument::fromJson(reply->readAll()).object();
    } else {
        answer.error = reply->errorString();
    }
    reply->deleteLater();
    co_return answer;
}

// POST with a JSON body; a transport failure throws `failed` with the system's text.
QCoro::Task<Answer> post(std::optional<QUrl> url, QJsonObject body, std::optional<QString> key)
{
    if (!url)
        throw AccountSignIn::Failure::failed(notAUrl);
    const Answer answer = co_await send(*url, body, key, 20s);
    if (answer.status == 0)
        throw AccountSignIn::Failure::failed(answer.error);
    co_return answer;
}

std::optional<QString> text(const QJsonObject &object, const QString &name)
{
    const QJsonValue value = object.value(name);
    return value.isString() ? std::optional(value.toString()) : std::nullopt;
}

QString percentEncoded(const QString &value)
{
    return QString::fromLatin1(QUrl::toPercentEncoding(value));
}

// A value from /etc/machine-info, which is written in shell syntax: quoted or not.
QString unquoted(QString value)
{
    value = value.trimmed();
    if (value.size() >= 2 && (value.front() == u'"' || value.front() == u'\'') &&
        value.back() == value.front()) {
        const QChar quote = value.front();
        value = value.mid(1, value.size() - 2);
        if (quote == u'"') {
            QString out;
            for (qsizetype i = 0; i < value.size(); ++i) {
                if (value[i] == u'\\' && i + 1 < value.size())
                    ++i;
                out += value[i];
            }
            value = out;
        }
    }
    return value;
}

QCoro::Task<> signOutWith(QString server, QString path, bool revokeThisKey)
{
    const std::optional<QString> key = AccountSignIn::storedKey();
    QSettings settings;
    const QVariant keyId = settings.value(AccountSignIn::keyIdSetting);
    if (key && (!revokeThisKey || keyId.isValid())) {
        QJsonObject body;
        if (revokeThisKey)
            body.insert(QStringLiteral("id"), keyId.toString());
        try {
            co_await post(makeUrl(AccountSignIn::baseAddress(server), path), body, key);
        } catch (const AccountSignIn::Failure &) {
            // The key is forgotten here whatever the service says.
        }
    }
    Keychain::remove(AccountSignIn::keyAccount);
    QSettings().remove(AccountSignIn::keyIdSetting);
}

} // namespace

AccountSignIn::Failure::Failure(Kind kind, const QString &message)
    : m_kind(kind)
    , m_message(message)
    , m_what(description().toUtf8())
{ }

AccountSignIn::Failure AccountSignIn::Failure::refused(const QString &message)
{
    return Failure(Kind::Refused, message);
}

AccountSignIn::Failure AccountSignIn::Failure::failed(const QString &message)
{
    return Failure(Kind::Failed, message);
}

AccountSignIn::Failure AccountSignIn::Failure::cancelled()
{
    return Failure(Kind::Cancelled, QString());
}

QString AccountSignIn::Failure::description() const
{
    return m_kind == Kind::Cancelled ? QStringLiteral("Sign-in was cancelled.") : m_message;
}

AccountSignIn::AccountSignIn(QObject *parent)
    : QObject(parent)
{ }

QCoro::Task<AccountSignIn::Account> AccountSignIn::signIn(QString server, QString provider)
{
    const QString base = baseAddress(server);
    const QString verifier = random(48);
    const QString state = random(24);
    const QString name = label();

    std::optional<QUrl> start = makeUrl(base, "/auth/" + percentEncoded(provider) + "/start");
    if (!start)
        throw Failure::failed(notAUrl);
    // Built without a braced list: GCC 12 destroys one in a coroutine twice.
    QStringList query;
    query << QStringLiteral("platform=") + percentEncoded(platformName);
    query << QStringLiteral("code_challenge=") + percentEncoded(challenge(verifier));
    query << QStringLiteral("state=") + percentEncoded(state);
    query << QStringLiteral("label=") + percentEncoded(name);
    start->setQuery(query.join(u'&'), QUrl::StrictMode);
    if (!start->isValid())
        throw Failure::failed(notAUrl);

    const WebAuthSession::Result result = co_await m_session.open(*start, callbackScheme);
    switch (result.end) {
    case WebAuthSession::End::CouldNotOpen:
        throw Failure::failed(QStringLiteral("the sign-in window could not open"));
    case WebAuthSession::End::Cancelled:
        throw Failure::cancelled();
    case WebAuthSession::End::TimedOut:
        throw Failure::failed(QStringLiteral("sign-in did not finish"));
    case WebAuthSession::End::Callback:
        break;
    }

    const QUrlQuery callback(result.url);
    if (!callback.hasQueryItem(QStringLiteral("state")) ||
        callback.queryItemValue(QStringLiteral("state"), QUrl::FullyDecoded) != state)
        throw Failure::failed(
            QStringLiteral("the sign-in came back for another request — try again"));
    if (callback.hasQueryItem(QStringLiteral("error"))) {
        const QString error = callback.queryItemValue(QStringLiteral("error"), QUrl::FullyDecoded);
        if (error == u"cancelled")
            throw Failure::refused(QStringLiteral("Sign-in was cancelled."));
        if (error == u"expired")
            throw Failure::refused(QStringLiteral("The sign-in took too long — try again."));
        if (error == u"blocked")
            throw Failure::refused(QStringLiteral("This account is blocked."));
        throw Failure::refused(QStringLiteral("Sign-in failed — try again."));
    }
    if (!callback.hasQueryItem(QStringLiteral("code")))
        throw Failure::failed(QStringLiteral("no sign-in code came back — try again"));
    const QString code = callback.queryItemValue(QStringLiteral("code"), QUrl::FullyDecoded);

    QJsonObject exchange;
    exchange.insert(QStringLiteral("code"), code);
    exchange.insert(QStringLiteral("code_verifier"), verifier);
    exchange.insert(QStringLiteral("label"), name);
    const Answer answer =
        co_await post(makeUrl(base, QStringLiteral("/auth/app/token")), exchange, std::nullopt);
    const std::optional<QString> key = text(answer.json, QStringLiteral("key"));
    if (answer.status != 200 || !key || !key->startsWith(deviceKeyPrefix))
        throw Failure::failed(
            text(answer.json, QStringLiteral("error"))
                .value_or(QStringLiteral("the server did not give this Mac a key")));

    Keychain::set(keyAccount, *key);
    QSettings settings;
    if (const auto keyId = text(answer.json, QStringLiteral("key_id")))
        settings.setValue(keyIdSetting, *keyId);
    else
        settings.remove(keyIdSetting);
    const QJsonObject user = answer.json.value(QStringLiteral("user")).toObject();
    co_return Account {text(user, QStringLiteral("email")), text(user, QStringLiteral("name")),
                       text(user, QStringLiteral("status"))};
}

QCoro::Task<QList<AccountSignIn::Provider>> AccountSignIn::providers(QString server)
{
    QList<Provider> list;
    if (const auto url = makeUrl(baseAddress(server), QStringLiteral("/auth/providers"))) {
        const Answer answer = co_await send(*url, std::nullopt, std::nullopt, 10s);
        if (answer.status == 200) {
            const QJsonArray entries = answer.json.value(QStringLiteral("providers")).toArray();
            for (const QJsonValue &entry : entries) {
                const QJsonObject object = entry.toObject();
                const auto id = text(object, QStringLiteral("id"));
                const auto label = text(object, QStringLiteral("label"));
                if (id && label)
                    list.append({*id, *label});
            }
        }
    }
    if (list.isEmpty())
        list.append({QStringLiteral("google"), QStringLiteral("Google")});
    co_return list;
}

QCoro::Task<std::optional<QJsonObject>> AccountSignIn::account(QString server)
{
    const std::optional<QString> key = storedKey();
    const auto url = makeUrl(baseAddress(server), QStringLiteral("/v1/me"));
    if (!key || !url)
        co_return std::nullopt;
    const Answer answer = co_await send(*url, std::nullopt, key, 15s);
    if (answer.status != 200 || answer.json.isEmpty())
        co_return std::nullopt;
    co_return answer.json;
}

QCoro::Task<> AccountSignIn::signOut(QString server)
{
    return signOutWith(server, QStringLiteral("/v1/me/keys/revoke"), true);
}

QCoro::Task<> AccountSignIn::signOutEverywhere(QString server)
{
    return signOutWith(server, QStringLiteral("/v1/me/signout-all"), false);
}

QCoro::Task<> AccountSignIn::deleteAccount(QString server)
{
    return signOutWith(server, QStringLiteral("/v1/me/delete"), false);
}

std::optional<QString> AccountSignIn::storedKey()
{
    std::optional<QString> key = Keychain::get(keyAccount);
    if (!key || !key->startsWith(deviceKeyPrefix))
        return std::nullopt;
    return key;
}

QString AccountSignIn::baseAddress(const QString &server)
{
    qsizetype begin = 0;
    qsizetype end = server.size();
    while (begin < end && (server[begin] == u' ' || server[begin] == u'\t'))
        ++begin;
    while (end > begin && (server[end - 1] == u' ' || server[end - 1] == u'\t'))
        --end;
    while (end > begin && server[end - 1] == u'/')
        --end;
    return server.mid(begin, end - begin);
}

QString AccountSignIn::random(int n)
{
    QByteArray bytes(n, Qt::Uninitialized);
    qsizetype filled = 0;
    while (filled < n) {
        const ssize_t got = getrandom(bytes.data() + filled, size_t(n - filled), 0);
        if (got > 0)
            filled += got;
        else if (errno != EINTR)
            qFatal("getrandom failed: %s", strerror(errno));
    }
    return QString::fromLatin1(
        bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

QString AccountSignIn::challenge(const QString &verifier)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(verifier.toUtf8(), QCryptographicHash::Sha256)
            .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

QString AccountSignIn::label()
{
    QFile info(QStringLiteral("/etc/machine-info"));
    if (info.open(QIODevice::ReadOnly | QIODevice::Text)) {
        while (!info.atEnd()) {
            const QString line = QString::fromUtf8(info.readLine()).trimmed();
            if (line.startsWith(QLatin1StringView("PRETTY_HOSTNAME="))) {
                const QString pretty = unquoted(line.mid(line.indexOf(u'=') + 1));
                if (!pretty.isEmpty())
                    return pretty;
            }
        }
    }
    const QString host = QSysInfo::machineHostName();
    return host.isEmpty() ? QStringLiteral("Linux") : host;
}
