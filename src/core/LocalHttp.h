#pragma once

#include <chrono>

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

// One blocking HTTP request to a server on 127.0.0.1, for the few callers that must wait for the
// answer on their own thread without an event loop (a stop request while quitting, a health check
// on a background task). Only the status line of the answer is read.
namespace LocalHttp {

using Headers = QList<QPair<QByteArray, QByteArray>>;

// The answer's status code, or 0 when no HTTP answer arrived within `timeout`.
int request(quint16 port, const QByteArray &method, const QString &path, const Headers &headers,
            const QByteArray &body, std::chrono::milliseconds timeout);

} // namespace LocalHttp
