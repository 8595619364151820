// A later `velko` in miniature: `instance_client [--socket PATH] ARGS…` hands ARGS to the running
// instance (the one on PATH, else the default one) and exits 0, or exits 3 when it became the
// running instance itself.
#include "app/SingleInstance.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    QString socket = SingleInstance::defaultPath();
    if (args.size() >= 2 && args[0] == QLatin1StringView("--socket")) {
        args.removeFirst();
        socket = args.takeFirst();
    }
    SingleInstance instance(socket);
    return instance.claim(args) ? 3 : 0;
}
