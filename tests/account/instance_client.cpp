// A later `velko` in miniature: `instance_client SOCKET ARGS…` hands ARGS to the instance that
// listens on SOCKET and exits 0, or exits 3 when it became the running instance itself.
#include "app/SingleInstance.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    if (args.isEmpty())
        return 2;
    SingleInstance instance(args.takeFirst());
    return instance.claim(args) ? 3 : 0;
}
