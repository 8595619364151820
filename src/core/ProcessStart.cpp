#include "core/ProcessStart.h"

#include <QByteArray>
#include <QtGlobal>

#include <unistd.h>

namespace ProcessStart {

void limitOpenMpThreads(char **argv)
{
    if (qgetenv("OMP_THREAD_LIMIT") == "1")
        return;
    qputenv("OMP_THREAD_LIMIT", "1");
    ::execv("/proc/self/exe", argv);
}

} // namespace ProcessStart
