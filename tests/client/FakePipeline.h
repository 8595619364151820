#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

// A small HTTP server on 127.0.0.1 that plays the pipeline for tests: it answers "/api/status"
// with a configurable state, keeps "/api/stream" connections open for the test to write event
// lines into, answers other paths from a table, and records every request.
class FakePipeline : public QObject
{
    Q_OBJECT

public:
    struct Request
    {
        QByteArray method;
        QByteArray path;
        QHash<QByteArray, QByteArray> headers; // names in lower case
        QByteArray body;
    };
    struct Answer
    {
        int status = 200; // 0: close the connection without answering
        QByteArray body = "{}";
        int delayMs = 0;
    };

    explicit FakePipeline(QObject *parent = nullptr);
    ~FakePipeline() override;

    int port() const { return int(m_server.serverPort()); }

    void setAnswer(const QByteArray &path, const Answer &answer) { m_answers[path] = answer; }
    // "/api/status" answers {"state": state, "caps": {"backend": "native"}}.
    void setState(const QJsonObject &state);
    // Status of new stream requests; anything but 200 closes them at once.
    void setStreamStatus(int status) { m_streamStatus = status; }

    // Writes to every open stream.
    void send(const QByteArray &raw);
    void sendEvent(const QJsonObject &event);
    // Ends every open stream by closing its connection.
    void dropStreams();

    int openStreams() const;
    int streamsOpened() const { return m_streamsOpened; }
    QList<Request> requests(const QByteArray &path = {}) const;

signals:
    void requestReceived(const QByteArray &path);

private:
    void serve(QTcpSocket *socket);

    QTcpServer m_server;
    QHash<QByteArray, Answer> m_answers;
    QHash<QTcpSocket *, QByteArray> m_pending;
    QList<QPointer<QTcpSocket>> m_streams;
    QList<Request> m_requests;
    int m_streamStatus = 200;
    int m_streamsOpened = 0;
};
