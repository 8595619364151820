#include "app/AppModel.h"
#include "app/DesktopEntry.h"
#include "app/LoginItem.h"
#include "app/SingleInstance.h"
#include "core/Paths.h"
#include "core/ProcessStart.h"
#include "platform/linux/UnixSignals.h"

#include <QApplication>
#include <QTextStream>

#include <csignal>
#include <cstring>

namespace {

void printPaths(QTextStream &out)
{
    const std::pair<const char *, QString> entries[] = {
        {"dataDir", Paths::dataDir()},           {"logsDir", Paths::logsDir()},
        {"pycacheDir", Paths::pycacheDir()},     {"controlSocket", Paths::controlSocket()},
        {"pythonHome", Paths::pythonHome()},     {"serverRoot", Paths::serverRoot()},
        {"pipelineRoot", Paths::pipelineRoot()}, {"opencodeBin", Paths::opencodeBin()},
    };
    for (const auto &[name, path] : entries)
        out << name << ": " << path << '\n';
}

bool hasArgument(int argc, char *argv[], const char *wanted)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], wanted) == 0)
            return true;
    }
    return false;
}

} // namespace

int main(int argc, char *argv[])
{
    ProcessStart::limitOpenMpThreads(argv);
    const bool smoke = hasArgument(argc, argv, "--smoke");
    // The self-test shows no window: it runs where there is no display at all.
    if (smoke && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") &&
        qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Velko AI"));
    QCoreApplication::setApplicationName(QStringLiteral("Velko AI"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VELKO_VERSION));
    // It lives in the tray: closing its last window does not quit it.
    QApplication::setQuitOnLastWindowClosed(false);

    const QStringList args = app.arguments().mid(1);
    if (args.contains(QStringLiteral("--paths"))) {
        QTextStream out(stdout);
        printPaths(out);
        return 0;
    }

    // A second `velko` hands its arguments (files, a sign-in callback) to the running one.
    SingleInstance instance;
    if (!smoke && !instance.claim(args))
        return 0;

    AppModel &model = AppModel::shared();
    model.setLaunchedAtLogin(args.contains(QLatin1String(LoginItem::kLaunchedAtLogin)));
    QObject::connect(&instance, &SingleInstance::filesOpened, &model,
                     [&model](const QList<QUrl> &files) {
                         QStringList paths;
                         for (const QUrl &file : files)
                             paths << file.toLocalFile();
                         model.importFiles(paths);
                     });
    QObject::connect(&instance, &SingleInstance::activated, &model, [&model] {
        if (model.mainWindowOpener)
            model.mainWindowOpener();
    });

    // The desktop's "quit" and Control-C take the same path as the menu, without a dialog.
    UnixSignals unixSignals({SIGTERM, SIGINT, SIGHUP});
    QObject::connect(&unixSignals, &UnixSignals::received, &model, [&model](int) {
        model.setQuitting();
        model.requestQuit();
    });

    model.launch();
    if (!smoke) {
        // The browser's sign-in comes back through the desktop's handler of vuvuvuv: links.
        DesktopEntry::install();
        instance.dispatch(args);
    }
    const int status = QApplication::exec();
    model.shutDown();
    return status;
}
