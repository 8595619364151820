// Runs one keychain operation in a process of its own, so that a test can choose the process's
// arguments ("--smoke") and environment (an unreachable session bus).
// keychain_tool [--no-app] [--smoke] get|set|remove ACCOUNT [VALUE]
#include "core/Keychain.h"

#include <QCoreApplication>

#include <cstdio>
#include <memory>

int main(int argc, char *argv[])
{
    QStringList args;
    bool withApp = true;
    for (int i = 1; i < argc; ++i) {
        const QString arg = QString::fromLocal8Bit(argv[i]);
        if (arg == QLatin1String("--no-app"))
            withApp = false;
        else if (arg != QLatin1String("--smoke"))
            args.append(arg);
    }
    std::unique_ptr<QCoreApplication> app;
    if (withApp)
        app = std::make_unique<QCoreApplication>(argc, argv);
    if (args.size() < 2)
        return 64;
    const QString &operation = args[0];
    const QString &account = args[1];
    if (operation == QLatin1String("get")) {
        const auto value = Keychain::get(account);
        std::printf("%s\n", value ? qPrintable("value:" + *value) : "absent");
    } else if (operation == QLatin1String("set") && args.size() == 3) {
        std::printf("%d\n", int(Keychain::set(account, args[2])));
    } else if (operation == QLatin1String("remove")) {
        std::printf("%d\n", int(Keychain::remove(account)));
    } else {
        return 64;
    }
    return 0;
}
