#pragma once

#include <chrono>
#include <optional>

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QNetworkRequest>
#include <QPair>
#include <QString>

#include <qcoro/qcorotask.h>

class QNetworkAccessManager;
class QNetworkReply;

// HTTP requests to the pipeline and the built-in server on 127.0.0.1, each with an explicit
// timeout: main-thread tasks that suspend while they wait, and one blocking form for the few
// callers that must wait for the answer on their own thread without an event loop (a stop request
// while quitting, a health check on a background task).
namespace LocalHttp {

using Headers = QList<QPair<QByteArray, QByteArray>>;

// Blocking; only the status line of the answer is read. The answer's status code, or 0 when no
// HTTP answer arrived within `timeout`.
int request(quint16 port, const QByteArray &method, const QString &path, const Headers &headers,
            const QByteArray &body, std::chrono::milliseconds timeout);

struct Answer
{
    int status = 0; // 0: no HTTP answer (transport failure, timeout, refused connection)
    QByteArray body;

    // The body when it is a JSON object.
    std::optional<QJsonObject> object() const;
};

// A request for "http://127.0.0.1:{port}{path}" with the shared token (when there is one).
QNetworkRequest prepare(int port, const QString &path, const QString &token,
                        std::chrono::milliseconds timeout);

// Resumes once the reply has finished (or is gone).
QCoro::Task<> finished(QNetworkReply *reply);
// Reads a finished (or deleted) reply into an answer and releases it.
Answer take(QNetworkReply *reply);

QCoro::Task<Answer> get(QNetworkAccessManager *manager, int port, QString path, QString token,
                        std::chrono::milliseconds timeout);
QCoro::Task<Answer> post(QNetworkAccessManager *manager, int port, QString path, QString token,
                         QByteArray body, std::chrono::milliseconds timeout);

} // namespace LocalHttp
