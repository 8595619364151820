// Times the supervisor on this machine: from start() to running(port) with the reference
// pipeline, and stop() of a running pipeline that has two children honouring SIGTERM.
// Usage: bench_supervisor [rounds]

#include "core/ProcessTree.h"
#include "core/Supervisor.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <algorithm>

namespace {

QTextStream out(stdout);

bool waitForRunning(Supervisor &supervisor, int timeoutMs)
{
    QEventLoop loop;
    QObject::connect(&supervisor, &Supervisor::phaseChanged, &loop, [&] {
        if (supervisor.phase().kind != Supervisor::Phase::Starting)
            loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    if (supervisor.phase().kind == Supervisor::Phase::Starting)
        loop.exec();
    return supervisor.phase().kind == Supervisor::Phase::Running;
}

void report(const char *name, QList<double> ms, double goal)
{
    std::sort(ms.begin(), ms.end());
    const double median =
        ms.size() % 2 ? ms[ms.size() / 2] : (ms[ms.size() / 2 - 1] + ms[ms.size() / 2]) / 2;
    const double p90 = ms[qMin(ms.size() - 1, qsizetype(ms.size() * 0.9))];
    out << name << ": n=" << ms.size() << " median " << Qt::fixed << qSetRealNumberPrecision(1)
        << median << " ms, min " << ms.first() << " ms, p90 " << p90 << " ms, max " << ms.last()
        << " ms; goal " << goal << " ms (median/goal " << qSetRealNumberPrecision(2)
        << median / goal << ")\n";
    out.flush();
}

// The fake pipeline of the tests, in a checkout of its own.
QString fakeCheckout(const QTemporaryDir &dir)
{
    const QString webapp = dir.path() + "/repo/core/webapp";
    QDir().mkpath(webapp);
    QFile::copy(VELKO_SOURCE_DIR "/resources/app/webapp/launch_pipeline.py",
                webapp + "/launch_pipeline.py");
    QFile::copy(VELKO_TEST_FIXTURES "/fake_pipeline.py", webapp + "/server.py");
    return dir.path() + "/repo";
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName("Velko AI Bench");
    QCoreApplication::setApplicationName("bench_supervisor");
    const int rounds = argc > 1 ? QByteArray(argv[1]).toInt() : 15;
    QTemporaryDir data;
    qputenv("VELKO_DATA_DIR", QFile::encodeName(data.path() + "/data"));

    QList<double> starts;
    {
        Supervisor supervisor; // the login shell is asked once per supervisor, as in the app
        for (int round = 0; round < rounds; ++round) {
            QElapsedTimer clock;
            clock.start();
            supervisor.start();
            if (!waitForRunning(supervisor, 10000)) {
                out << "the reference pipeline did not run: " << supervisor.phase().reason << '\n'
                    << supervisor.lastLines().join('\n') << '\n';
                return 1;
            }
            starts << clock.nsecsElapsed() / 1e6;
            supervisor.stop();
        }
    }
    report("start -> running (reference pipeline)", starts, 1000);

    QTemporaryDir checkout;
    qputenv("VELKO_REPO", QFile::encodeName(fakeCheckout(checkout)));
    QList<double> stops;
    int survivors = 0;
    Supervisor supervisor;
    supervisor.setExtraEnv("FAKE_MODE", "children");
    for (int round = 0; round < rounds; ++round) {
        supervisor.start();
        if (!waitForRunning(supervisor, 10000)) {
            out << "the fake pipeline did not run\n";
            return 1;
        }
        const QList<pid_t> tree = ProcessTree::descendants(supervisor.pid());
        if (tree.size() != 3) {
            out << "expected the pipeline and two children, found " << tree.size() << '\n';
            return 1;
        }
        QElapsedTimer clock;
        clock.start();
        survivors += supervisor.stop().size();
        stops << clock.nsecsElapsed() / 1e6;
        for (const pid_t pid : tree)
            survivors += ProcessTree::isAlive(pid);
    }
    report("stop() of a pipeline with two children", stops, 600);
    out << "survivors after stop: " << survivors << '\n';
    return survivors == 0 ? 0 : 1;
}
