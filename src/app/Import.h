#pragma once

#include <QString>

#include <qcoro/qcorotask.h>

class QNetworkAccessManager;

// Files handed to the pipeline's import endpoint: a workflow bundle (a JSON file) or a recorded
// session (a directory with "session.jsonl").
namespace Import {

enum class Kind { Bundle, Recording, Unsupported };

Kind kind(const QString &path);

struct Result
{
    QString message; // for the model's importMessage
    bool notify = false; // a failure the user hears about
};

// Classifies one file and sends it to the pipeline on `port`.
QCoro::Task<Result> send(QNetworkAccessManager *manager, int port, QString token, QString path);

} // namespace Import
