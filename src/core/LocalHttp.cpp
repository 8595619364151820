#include "core/LocalHttp.h"

#include "core/SignalWait.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QPointer>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QUrl>

namespace LocalHttp {

int request(quint16 port, const QByteArray &method, const QString &path, const Headers &headers,
            const QByteArray &body, std::chrono::milliseconds timeout)
{
    const QDeadlineTimer deadline(timeout);
    QTcpSocket socket;
    socket.setProxy(QNetworkProxy::NoProxy);
    socket.connectToHost(QHostAddress(QHostAddress::LocalHost), port);
    if (!socket.waitForConnected(int(deadline.remainingTime())))
        return 0;

    QByteArray message = method + ' ' + path.toUtf8() +
        " HTTP/1.0\r\nHost: 127.0.0.1:" + QByteArray::number(port) + "\r\n";
    for (const auto &[name, value] : headers)
        message += name + ": " + value + "\r\n";
    if (!body.isNull())
        message += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    message += "\r\n" + body;
    socket.write(message);
    while (socket.bytesToWrite() > 0) {
        if (deadline.hasExpired() || !socket.waitForBytesWritten(int(deadline.remainingTime())))
            return 0;
    }

    QByteArray answer;
    while (!answer.contains("\r\n")) {
        if (deadline.hasExpired() || !socket.waitForReadyRead(int(deadline.remainingTime())))
            break;
        answer += socket.readAll();
    }
    static const QRegularExpression statusLine(QStringLiteral("^HTTP/\\d\\.\\d (\\d{3})"));
    const auto match = statusLine.match(QString::fromLatin1(answer.left(32)));
    return match.hasMatch() ? match.captured(1).toInt() : 0;
}

std::optional<QJsonObject> Answer::object() const
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    return document.object();
}

QNetworkRequest prepare(int port, const QString &path, const QString &token,
                        std::chrono::milliseconds timeout)
{
    QNetworkRequest request(QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(path)));
    if (!token.isEmpty())
        request.setRawHeader("X-Velko-Token", token.toUtf8());
    request.setTransferTimeout(int(timeout.count()));
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    return request;
}

QCoro::Task<> finished(QNetworkReply *reply)
{
    QPointer<QNetworkReply> guard(reply);
    if (!guard || guard->isFinished())
        co_return;
    SignalWait done([reply](const SignalWait::Wake &wake) {
        return QList {QObject::connect(reply, &QNetworkReply::finished, reply, wake),
                      QObject::connect(reply, &QObject::destroyed, reply, wake)};
    });
    co_await done;
}

Answer take(QNetworkReply *reply)
{
    Answer answer;
    if (!reply)
        return answer;
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid()) {
        answer.status = status.toInt();
        answer.body = reply->readAll();
    }
    reply->deleteLater();
    return answer;
}

QCoro::Task<Answer> get(QNetworkAccessManager *manager, int port, QString path, QString token,
                        std::chrono::milliseconds timeout)
{
    QPointer<QNetworkReply> reply = manager->get(prepare(port, path, token, timeout));
    co_await finished(reply);
    co_return take(reply);
}

QCoro::Task<Answer> post(QNetworkAccessManager *manager, int port, QString path, QString token,
                         QByteArray body, std::chrono::milliseconds timeout)
{
    QNetworkRequest post = prepare(port, path, token, timeout);
    post.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    QPointer<QNetworkReply> reply = manager->post(post, body);
    co_await finished(reply);
    co_return take(reply);
}

} // namespace LocalHttp
