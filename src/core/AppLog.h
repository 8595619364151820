#pragma once

#include <QString>

// The application's own diagnostic log, logsDir/app.log: one "2024-05-01T09:30:15Z message" line
// per event, appended on the "velko.applog" worker so lines from any thread stay whole and in
// call order. Logging never fails towards the caller.
namespace AppLog {

void write(const QString &message);
// Waits until every line written so far has reached the file (for tests and shutdown).
void flush();

} // namespace AppLog
