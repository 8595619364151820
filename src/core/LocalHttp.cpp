#include "core/LocalHttp.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QNetworkProxy>
#include <QRegularExpression>
#include <QTcpSocket>

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

} // namespace LocalHttp
