#include "core/Paths.h"
#include "core/ProcessStart.h"

#include <QCoreApplication>
#include <QTextStream>

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

} // namespace

int main(int argc, char *argv[])
{
    ProcessStart::limitOpenMpThreads(argv);
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Velko AI"));
    QCoreApplication::setApplicationName(QStringLiteral("Velko AI"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VELKO_VERSION));

    QTextStream out(stdout);
    const QStringList args = app.arguments();
    if (args.contains(QStringLiteral("--paths"))) {
        printPaths(out);
        return 0;
    }
    out << "Velko AI " << QCoreApplication::applicationVersion() << '\n';
    printPaths(out);
    return 0;
}
