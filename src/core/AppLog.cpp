#include "core/AppLog.h"

#include "core/Paths.h"
#include "core/SerialQueue.h"

#include <QDateTime>
#include <QDir>

#include <fcntl.h>
#include <unistd.h>

namespace {

SerialQueue &queue()
{
    static SerialQueue instance("velko.applog");
    return instance;
}

void append(const QByteArray &line)
{
    const QString dir = Paths::logsDir();
    QDir().mkpath(dir);
    const QByteArray path = QFile::encodeName(dir + QStringLiteral("/app.log"));
    // O_APPEND without O_TRUNC: an existing log is never cut short.
    const int fd = ::open(path.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    qsizetype written = 0;
    while (written < line.size()) {
        const ssize_t n = ::write(fd, line.constData() + written, size_t(line.size() - written));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        written += n;
    }
    ::close(fd);
}

} // namespace

namespace AppLog {

void write(const QString &message)
{
    const QString stamp = QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
    QByteArray line = stamp.toUtf8() + ' ' + message.toUtf8() + '\n';
    queue().async([line = std::move(line)] { append(line); });
}

void flush()
{
    queue().drain();
}

} // namespace AppLog
