#include "client/FakePipeline.h"

#include <QJsonDocument>
#include <QTimer>

namespace {

QByteArray statusLine(int status)
{
    const char *reason = status == 200 ? "OK" : "Error";
    return "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason + "\r\n";
}

} // namespace

FakePipeline::FakePipeline(QObject *parent)
    : QObject(parent)
{
    m_server.listen(QHostAddress::LocalHost);
    connect(&m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = m_server.nextPendingConnection()) {
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QObject::destroyed, this,
                    [this, socket] { m_pending.remove(socket); });
        }
    });
    setState(QJsonObject {{"phase", "idle"}});
}

FakePipeline::~FakePipeline()
{
    // The sockets outlive the members their signals reach.
    const auto sockets = findChildren<QTcpSocket *>() + m_server.findChildren<QTcpSocket *>();
    for (QTcpSocket *socket : sockets)
        socket->disconnect(this);
}

void FakePipeline::setState(const QJsonObject &state)
{
    const QJsonObject status {{"state", state}, {"caps", QJsonObject {{"backend", "native"}}}};
    m_answers["/api/status"] = Answer {200, QJsonDocument(status).toJson(QJsonDocument::Compact)};
}

void FakePipeline::send(const QByteArray &raw)
{
    for (const auto &socket : std::as_const(m_streams)) {
        if (socket && socket->state() == QAbstractSocket::ConnectedState) {
            socket->write(raw);
            socket->flush();
        }
    }
}

void FakePipeline::sendEvent(const QJsonObject &event)
{
    send("data: " + QJsonDocument(event).toJson(QJsonDocument::Compact) + "\n\n");
}

void FakePipeline::dropStreams()
{
    for (const auto &socket : std::as_const(m_streams)) {
        if (socket)
            socket->disconnectFromHost();
    }
    m_streams.clear();
}

int FakePipeline::openStreams() const
{
    return int(std::count_if(m_streams.begin(), m_streams.end(), [](const auto &socket) {
        return socket && socket->state() == QAbstractSocket::ConnectedState;
    }));
}

QList<FakePipeline::Request> FakePipeline::requests(const QByteArray &path) const
{
    if (path.isEmpty())
        return m_requests;
    QList<Request> matching;
    for (const Request &request : m_requests) {
        if (request.path == path)
            matching.append(request);
    }
    return matching;
}

void FakePipeline::serve(QTcpSocket *socket)
{
    QByteArray &buffer = m_pending[socket];
    buffer += socket->readAll();
    const qsizetype headerEnd = buffer.indexOf("\r\n\r\n");
    if (headerEnd < 0)
        return;
    Request request;
    const QList<QByteArray> lines = buffer.left(headerEnd).split('\n');
    const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
    request.method = first.value(0);
    request.path = first.value(1);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        if (colon > 0)
            request.headers[lines[i].left(colon).trimmed().toLower()] =
                lines[i].mid(colon + 1).trimmed();
    }
    const qsizetype length = request.headers.value("content-length", "0").toLongLong();
    if (buffer.size() < headerEnd + 4 + length)
        return;
    request.body = buffer.mid(headerEnd + 4, length);
    m_pending.remove(socket);
    m_requests.append(request);
    disconnect(socket, &QTcpSocket::readyRead, this, nullptr);

    if (request.path == "/api/stream") {
        ++m_streamsOpened;
        if (m_streamStatus != 200) {
            socket->write(statusLine(m_streamStatus) +
                          "Content-Length: 0\r\nConnection: close\r\n\r\n");
            socket->disconnectFromHost();
        } else {
            socket->write(statusLine(200) +
                          "Content-Type: text/event-stream\r\nCache-Control: no-cache\r\n"
                          "Connection: close\r\n\r\n");
            socket->flush();
            m_streams.append(socket);
        }
        emit requestReceived(request.path);
        return;
    }

    const Answer answer = m_answers.value(request.path, Answer {404, R"({"error":"not found"})"});
    const QPointer<QTcpSocket> guard(socket);
    auto reply = [guard, answer] {
        if (!guard)
            return;
        if (answer.status == 0) { // no HTTP answer at all
            guard->abort();
            return;
        }
        guard->write(statusLine(answer.status) + "Content-Type: application/json\r\n" +
                     "Content-Length: " + QByteArray::number(answer.body.size()) +
                     "\r\nConnection: close\r\n\r\n" + answer.body);
        guard->disconnectFromHost();
    };
    if (answer.delayMs > 0)
        QTimer::singleShot(answer.delayMs, socket, reply);
    else
        reply();
    emit requestReceived(request.path);
}
