#pragma once

#include "core/AppLog.h"
#include "core/Paths.h"

#include <QFile>
#include <QString>
#include <QStringList>

namespace AppLogTail {

// The message of the newest line in app.log, without its time stamp.
inline QString lastLine()
{
    AppLog::flush();
    QFile log(Paths::logsDir() + QStringLiteral("/app.log"));
    if (!log.open(QIODevice::ReadOnly))
        return {};
    const QStringList lines = QString::fromUtf8(log.readAll()).split('\n', Qt::SkipEmptyParts);
    return lines.isEmpty() ? QString() : lines.last().section(' ', 1);
}

} // namespace AppLogTail
