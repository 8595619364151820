#include "core/Paths.h"
#include "core/ProcessTree.h"
#include "core/Supervisor.h"
#include "core/VelkoServer.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>

#include <unistd.h>

#include "Sandbox.h"

using namespace std::chrono_literals;
using Vars = QMap<QString, QString>;

namespace {

const QString fakePipeline = QStringLiteral(VELKO_FIXTURES_DIR "/fake_pipeline.py");

Supervisor::Limits fastLimits()
{
    Supervisor::Limits limits;
    limits.firstRestartDelay = 200ms;
    limits.stopGrace = 2s;
    limits.loginPathTimeout = 2s;
    return limits;
}

// One supervisor over the fake pipeline in its own sandbox; FAKE_LOG records what it saw.
struct Harness
{
    explicit Harness(const QString &mode, const Supervisor::Limits &limits = fastLimits())
        : sandbox(fakePipeline)
    {
        supervisor.setLimits(limits);
        supervisor.setExtraEnv("FAKE_MODE", mode);
        supervisor.setExtraEnv("FAKE_LOG", sandbox.path("fake.log"));
    }
    ~Harness() { supervisor.stop(); }

    // Lines of FAKE_LOG without their time stamps.
    QStringList events() const
    {
        QStringList lines;
        for (const QString &line : timedEvents())
            lines << line.section(' ', 1);
        return lines;
    }
    QStringList timedEvents() const
    {
        QFile file(sandbox.path("fake.log"));
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
    }
    int count(const QString &prefix) const
    {
        int n = 0;
        for (const QString &event : events())
            n += event.startsWith(prefix);
        return n;
    }

    MemoryStore store;
    Sandbox sandbox;
    Supervisor supervisor;
};

Supervisor::Phase::Kind kindOf(const Supervisor &supervisor)
{
    return supervisor.phase().kind;
}

} // namespace

class TestSupervisor : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QCoreApplication::setOrganizationName(QStringLiteral("Velko AI Tests"));
        QCoreApplication::setApplicationName(QStringLiteral("tst_supervisor"));
        QSettings().clear();
    }

    void announcedPort_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::newRow("one write") << "serve";
        QTest::newRow("line split over two writes") << "split";
    }

    // The port in the announcement, not the one passed in PORT, is confirmed and published; a
    // line written in two pieces is read as one line.
    void announcedPort()
    {
        QFETCH(QString, mode);
        Harness h(mode);
        QSignalSpy phases(&h.supervisor, &Supervisor::phaseChanged);
        h.supervisor.start();
        QCOMPARE(kindOf(h.supervisor), Supervisor::Phase::Starting);
        QTRY_COMPARE_WITH_TIMEOUT(kindOf(h.supervisor), Supervisor::Phase::Running, 10000);

        const QStringList lines = h.supervisor.lastLines();
        QCOMPARE(lines.size(), 1);
        const auto announced = Supervisor::parsePort(lines.first());
        QVERIFY(announced);
        QCOMPARE(h.supervisor.phase().port, *announced);
        const QString passed = h.events().first().section(' ', 2, 2);
        QVERIFY(passed.toInt() > 0);
        QVERIFY(passed.toInt() != *announced);
        QCOMPARE(lines.first(),
                 QStringLiteral("listening on http://127.0.0.1:%1%2")
                     .arg(*announced)
                     .arg(mode == "split" ? "/ now" : ""));
        QCOMPARE(phases.size(), 2); // starting, running
        QVERIFY(h.count("GET /api/status") >= 1);
    }

    void startWhileRunningChangesNothing()
    {
        Harness h("serve");
        h.supervisor.start();
        h.supervisor.start(); // a launch under way counts like a running pipeline
        QTRY_COMPARE_WITH_TIMEOUT(kindOf(h.supervisor), Supervisor::Phase::Running, 10000);
        QSignalSpy phases(&h.supervisor, &Supervisor::phaseChanged);
        const pid_t pid = h.supervisor.pid();
        h.supervisor.start();
        QCOMPARE(phases.size(), 0);
        QCOMPARE(h.supervisor.pid(), pid);
        QTest::qWait(300);
        QCOMPARE(h.count("start"), 1);
    }

    // Three unplanned exits are relaunched after 1, 2 and 4 steps of the first delay; the fourth
    // within the window gives up with the last output lines.
    void restartsThenCrashed()
    {
        Harness h("exit");
        h.supervisor.start();
        QTRY_COMPARE_WITH_TIMEOUT(kindOf(h.supervisor), Supervisor::Phase::Crashed, 15000);
        QCOMPARE(h.count("start"), 4);

        const QString reason = h.supervisor.phase().reason;
        QVERIFY2(reason.startsWith("the pipeline stopped 4 times in two minutes (status 3).\n"),
                 qPrintable(reason));
        QCOMPARE(reason.section('\n', 1).split('\n').size(), 4); // all the output there was
        QVERIFY(reason.endsWith("fake pipeline: giving up"));

        // Each relaunch follows the exit before it by its delay (plus the interpreter's start).
        QList<double> exits, starts;
        for (const QString &line : h.timedEvents()) {
            const double at = line.section(' ', 0, 0).toDouble();
            (line.section(' ', 1, 1) == "exit" ? exits : starts) << at;
        }
        QCOMPARE(starts.size(), 4);
        QCOMPARE(exits.size(), 4);
        for (int i = 1; i < 4; ++i) {
            const double delay = starts[i] - exits[i - 1];
            const double expected = 0.2 * (1 << (i - 1));
            QVERIFY2(delay >= expected && delay < expected + 0.6,
                     qPrintable(QString("relaunch %1 after %2 s").arg(i).arg(delay)));
        }
        QTest::qWait(500);
        QCOMPARE(h.count("start"), 4); // nothing more is scheduled

        QFile log(Paths::logsDir() + "/server.log");
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(log.readAll());
        static const QRegularExpression header(
            "\n--- \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d \\+0000 starting pipeline on port "
            "\\d+\n"
            "fake pipeline: giving up\n--- exited with status 3\n$");
        QVERIFY2(header.match(text).hasMatch(), qPrintable(text.right(200)));
    }

    void failedRelaunchCrashes()
    {
        Harness h("exit");
        h.supervisor.start();
        QTRY_COMPARE_WITH_TIMEOUT(h.count("start"), 1, 10000);
        qputenv("VELKO_PYTHON_HOME", QFile::encodeName(h.sandbox.path("no-python")));
        QTRY_COMPARE_WITH_TIMEOUT(kindOf(h.supervisor), Supervisor::Phase::Crashed, 10000);
        QCOMPARE(h.supervisor.phase().reason,
                 QStringLiteral("could not restart the pipeline: No such file or directory"));
    }

    void builtinMode_data()
    {
        QTest::addColumn<QString>("server"); // app.py to install, empty for none
        QTest::addColumn<QString>("serverError");
        QTest::newRow("server answers") << VELKO_SOURCE_DIR "/resources/server/app.py" << QString();
        QTest::newRow("server missing: the pipeline runs all the same")
            << ""
            << "the built-in server is missing from this build";
    }

    // In built-in mode the model server starts first and the pipeline is pointed at it.
    void builtinMode()
    {
        QFETCH(QString, server);
        QFETCH(QString, serverError);
        Harness h("serve");
        if (!server.isEmpty())
            QVERIFY(QFile::copy(server, h.sandbox.path("repo/server/app.py")));
        QSettings().setValue("serverMode", "builtin");
        QSignalSpy errors(&h.supervisor, &Supervisor::serverErrorChanged);
        h.supervisor.start();
        QTRY_COMPARE_WITH_TIMEOUT(kindOf(h.supervisor), Supervisor::Phase::Running, 15000);
        QSettings().clear();
        QCOMPARE(h.supervisor.serverError().value_or(QString()), serverError);
        QCOMPARE(errors.size(), serverError.isNull() ? 0 : 1);
        const QString seen = h.events().first().section(' ', 3);
        if (serverError.isNull()) {
            const pid_t serverPid = h.supervisor.server().pid();
            QCOMPARE(seen,
                     QStringLiteral("http://127.0.0.1:%1").arg(*h.supervisor.server().port()));
            QCOMPARE(h.supervisor.stop(), QList<pid_t>());
            QVERIFY(!ProcessTree::isAlive(serverPid));
        } else {
            QCOMPARE(seen, QStringLiteral("-"));
        }
    }

    // A stop while the built-in server is still starting leaves nothing to launch afterwards.
    void stopWhileTheServerStarts()
    {
        Supervisor::Limits limits = fastLimits();
        limits.serverTimeout = 1s;
        Harness h("serve", limits);
        QVERIFY(QFile::copy(VELKO_FIXTURES_DIR "/fake_model_server.py",
                            h.sandbox.path("repo/server/app.py")));
        qputenv("FAKE_SERVER", "deaf");
        QSettings().setValue("serverMode", "builtin");
        h.supervisor.start();
        QTRY_VERIFY(h.supervisor.server().pid() > 0);
        h.supervisor.stop();
        QSettings().clear();
        qunsetenv("FAKE_SERVER");
        QCOMPARE(kindOf(h.supervisor), Supervisor::Phase::Stopped);
        QTest::qWait(1500);
        QCOMPARE(kindOf(h.supervisor), Supervisor::Phase::Stopped);
        QCOMPARE(h.count("start"), 0);
        QCOMPARE(h.supervisor.server().pid(), 0);
    }

    void exitsOutsideTheWindowCountAsFirst()
    {
        Supervisor::Limits limits = fastLimits();
        limits.firstRestartDelay = 50ms;
        limits.restartWindow = 1ms; // every exit is the only recent one
        Harness h("exit", limits);
        h.supervisor.start();
        QTRY_VERIFY_WITH_TIMEOUT(h.count("start") >= 6, 15000);
        QCOMPARE(kindOf(h.supervisor), Supervisor::Phase::Starting);
    }

    void stopWhileStarting()
    {
        Harness h("silent");
        h.supervisor.start();
        QTRY_VERIFY_WITH_TIMEOUT(h.count("start") == 1, 10000);
        const pid_t pid = h.supervisor.pid();
        QVERIFY(pid > 0);
        QCOMPARE(kindOf(h.supervisor), Supervisor::Phase::Starting);
        QCOMPARE(h.supervisor.stop(), QList<pid_t>());
        QCOMPARE(kindOf(h.supervisor), Supervisor::Phase::Stopped);
        QVERIFY(!ProcessTree::isAlive(pid));
        QCOMPARE(h.count("POST"), 0);
    }

    void stopEndsTheTreeAfterStopRequests()
    {
        Harness h("children");
        h.supervisor.start();
        QTRY_COMPARE_WITH_TIMEOUT(kindOf(h.supervisor), Supervisor::Phase::Running, 10000);
        QList<pid_t> tree;
        for (const QString &event : h.events()) {
            if (event.startsWith("child "))
                tree << event.section(' ', 1).toInt();
        }
        QCOMPARE(tree.size(), 2);
        tree << h.supervisor.pid();

        QCOMPARE(h.supervisor.stop(), QList<pid_t>());
        QCOMPARE(kindOf(h.supervisor), Supervisor::Phase::Stopped);
        for (const pid_t pid : tree)
            QVERIFY2(!ProcessTree::isAlive(pid), qPrintable(QString::number(pid)));
        const QStringList posts = h.events().filter("POST");
        QCOMPARE(posts, QStringList({"POST /api/run/stop", "POST /api/record/stop"}));
    }

    void exitDuringStopSchedulesNothing()
    {
        Harness h("exit-on-stop");
        h.supervisor.start();
        QTRY_COMPARE_WITH_TIMEOUT(kindOf(h.supervisor), Supervisor::Phase::Running, 10000);
        QSignalSpy phases(&h.supervisor, &Supervisor::phaseChanged);
        h.supervisor.stop();
        QCOMPARE(kindOf(h.supervisor), Supervisor::Phase::Stopped);
        QTest::qWait(600); // longer than the first restart delay
        QCOMPARE(kindOf(h.supervisor), Supervisor::Phase::Stopped);
        QCOMPARE(phases.size(), 1);
        QCOMPARE(h.count("start"), 1);
    }

    void keepsTheLast40Lines()
    {
        Harness h("lines");
        QSignalSpy changes(&h.supervisor, &Supervisor::lastLinesChanged);
        h.supervisor.start();
        QTRY_COMPARE_WITH_TIMEOUT(h.supervisor.lastLines().size(), Supervisor::maxLastLines, 10000);
        QStringList expected;
        for (int n = 6; n <= 45; ++n)
            expected << QStringLiteral("line %1").arg(n);
        QCOMPARE(h.supervisor.lastLines(), expected);
        QVERIFY(changes.size() >= 1);
    }

    void unansweredAnnouncementCrashes()
    {
        Supervisor::Limits limits = fastLimits();
        limits.confirmAttempts = 3;
        limits.confirmInterval = 20ms;
        Harness h("deaf", limits);
        h.supervisor.start();
        QTRY_COMPARE_WITH_TIMEOUT(kindOf(h.supervisor), Supervisor::Phase::Crashed, 10000);
        QCOMPARE(h.supervisor.phase().reason,
                 QStringLiteral("the pipeline started but did not answer on port 9"));
        QVERIFY(h.supervisor.pid() > 0); // the process is left running
        h.supervisor.start(); // and start does nothing while it exists
        QCOMPARE(kindOf(h.supervisor), Supervisor::Phase::Crashed);
    }

    void launchFailure()
    {
        Harness h("serve");
        qputenv("VELKO_PYTHON_HOME", QFile::encodeName(h.sandbox.path("no-python")));
        h.supervisor.start();
        QTRY_COMPARE_WITH_TIMEOUT(kindOf(h.supervisor), Supervisor::Phase::Crashed, 5000);
        QCOMPARE(h.supervisor.phase().reason,
                 QStringLiteral("could not start the pipeline: No such file or directory"));
        QCOMPARE(h.supervisor.pid(), 0);
    }

    void leftovers_data()
    {
        QTest::addColumn<bool>("embedded"); // our interpreter, else another one
        QTest::addColumn<bool>("adopted"); // its parent died, else it is our own child
        QTest::addColumn<bool>("reaped");
        QTest::newRow("left behind, our interpreter") << true << true << true;
        QTest::newRow("left behind, another interpreter") << false << true << false;
        QTest::newRow("our own running pipeline") << true << false << false;
    }

    void leftovers()
    {
        QFETCH(bool, embedded);
        QFETCH(bool, adopted);
        QFETCH(bool, reaped);
        Harness h("silent");
        const QString python =
            embedded ? h.sandbox.path("python/bin/python3") : QStringLiteral("/usr/bin/python3");
        QProcess leftover;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("FAKE_MODE", "silent");
        env.insert("VELKO_PARENT_PID", QString::number(::getpid()));
        env.insert("PYTHONHOME", h.sandbox.path("python"));
        leftover.setProcessEnvironment(env);
        leftover.setProgram(python);
        leftover.setArguments({h.sandbox.path("repo/core/webapp/server.py")});
        qint64 pid = 0;
        if (adopted) {
            QVERIFY(leftover.startDetached(&pid)); // its parent is gone at once
        } else {
            leftover.start();
            QVERIFY(leftover.waitForStarted());
            pid = leftover.processId();
        }
        QTRY_VERIFY(ProcessTree::command(pid).value_or("").contains("server.py"));

        h.supervisor.start();
        QTRY_COMPARE_WITH_TIMEOUT(h.count("start"), 1, 10000); // the new pipeline runs
        const QString report = QStringLiteral(
            "stopped 1 pipeline(s) left by an earlier Velko AI that did not quit cleanly");
        QCOMPARE(h.supervisor.lastLines().contains(report), reaped);
        QCOMPARE(ProcessTree::isAlive(pid), !reaped);
        ProcessTree::terminate(pid, 1s);
        if (!adopted)
            leftover.waitForFinished();
    }

    void environment_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<Vars>("inherited");
        QTest::addColumn<Vars>("keychain");
        QTest::addColumn<Vars>("extra");
        QTest::addColumn<Vars>("expected"); // empty value: absent
        const Vars keys {
            {"ANTHROPIC_API_KEY", "a"}, {"OPENAI_API_KEY", "o"}, {"MODEL_API_KEY", "m"}};
        QTest::newRow("no provider key ever reaches the pipeline")
            << "remote" << keys << keys << Vars {{"OPENAI_API_KEY", "x"}}
            << Vars {{"ANTHROPIC_API_KEY", ""}, {"OPENAI_API_KEY", ""}, {"MODEL_API_KEY", ""}};
        QTest::newRow("development and token variables removed")
            << "remote" << Vars {{"VELKO_DEV", "1"}, {"VELKO_API_TOKENS", "t"}, {"KEEP", "k"}}
            << Vars {} << Vars {{"VELKO_API_TOKENS", "t"}}
            << Vars {{"VELKO_DEV", ""}, {"VELKO_API_TOKENS", ""}, {"KEEP", "k"}};
        QTest::newRow("remote: account service and device key")
            << "remote" << Vars {} << Vars {{"VELKO_TOKEN", "device"}} << Vars {}
            << Vars {{"VELKO_SERVER_URL", "https://account.velko.ai"}, {"VELKO_TOKEN", "device"}};
        QTest::newRow("built-in without a server: no address")
            << "builtin" << Vars {{"VELKO_SERVER_URL", "inherited"}}
            << Vars {{"VELKO_TOKEN", "device"}} << Vars {}
            << Vars {{"VELKO_SERVER_URL", "inherited"}, {"VELKO_TOKEN", ""}};
        QTest::newRow("the owner's entries win")
            << "remote" << Vars {} << Vars {}
            << Vars {{"VELKO_CAPTURE", "native"}, {"VELKO_SERVER_URL", "x"}, {"PORT", "1"}}
            << Vars {{"VELKO_CAPTURE", "native"}, {"VELKO_SERVER_URL", "x"}, {"PORT", "1"}};
    }

    void environment()
    {
        QFETCH(QString, mode);
        QFETCH(Vars, inherited);
        QFETCH(Vars, keychain);
        QFETCH(Vars, extra);
        QFETCH(Vars, expected);
        Harness h("serve");
        h.store.items = keychain;
        QSettings().setValue("serverMode", mode);
        for (auto it = inherited.cbegin(); it != inherited.cend(); ++it)
            qputenv(it.key().toLatin1(), it.value().toUtf8());
        for (auto it = extra.cbegin(); it != extra.cend(); ++it)
            h.supervisor.setExtraEnv(it.key(), it.value());

        const QProcessEnvironment env = h.supervisor.environment(4321);
        for (auto it = inherited.cbegin(); it != inherited.cend(); ++it)
            qunsetenv(it.key().toLatin1());
        QSettings().clear();

        for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
            if (it.value().isEmpty())
                QVERIFY2(!env.contains(it.key()), qPrintable(it.key()));
            else
                QCOMPARE(env.value(it.key()), it.value());
        }
        const QString python = h.sandbox.path("python");
        if (!extra.contains("PORT"))
            QCOMPARE(env.value("PORT"), QStringLiteral("4321"));
        QCOMPARE(env.value("PYTHONHOME"), python);
        QCOMPARE(env.value("VELKO_PYTHON"), python + "/bin/python3");
        QCOMPARE(env.value("PYTHONUNBUFFERED"), QStringLiteral("1"));
        QCOMPARE(env.value("PYTHONDONTWRITEBYTECODE"), QStringLiteral("1"));
        QCOMPARE(env.value("VELKO_HOME"), h.sandbox.dataDir());
        QCOMPARE(env.value("VELKO_UI_TOKEN"), h.supervisor.token());
        QCOMPARE(env.value("VELKO_PARENT_PID"), QString::number(::getpid()));
        QVERIFY(env.value("VELKO_HOST_SOCKET")
                    .endsWith(QStringLiteral("velko-ai-host-%1.sock").arg(::getpid())));
        QVERIFY(env.value("PATH").startsWith(python + "/bin:"));
    }

    void tokenIsSecretHex()
    {
        Supervisor one, two;
        static const QRegularExpression hex("^[0-9a-f]{64}$");
        QVERIFY(hex.match(one.token()).hasMatch());
        QVERIFY(one.token() != two.token());
    }

    void parsePort_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<int>("port"); // 0: none
        QTest::newRow("plain") << "http://127.0.0.1:8765" << 8765;
        QTest::newRow("inside text") << " * Running on http://127.0.0.1:5000/ (CTRL+C)" << 5000;
        QTest::newRow("first of two") << "http://127.0.0.1:1 http://127.0.0.1:2" << 1;
        QTest::newRow("other host") << "http://0.0.0.0:8765" << 0;
        QTest::newRow("no digits") << "http://127.0.0.1:" << 0;
        QTest::newRow("not a port") << "http://127.0.0.1:99999999999" << 0;
    }

    void parsePort()
    {
        QFETCH(QString, line);
        QFETCH(int, port);
        QCOMPARE(Supervisor::parsePort(line).value_or(0), port);
    }
};

QTEST_GUILESS_MAIN(TestSupervisor)
#include "tst_supervisor.moc"
