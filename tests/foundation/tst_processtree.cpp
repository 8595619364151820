#include "core/ProcessTree.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include <unistd.h>

Q_DECLARE_METATYPE(QList<ProcessTree::Entry>)

using namespace std::chrono_literals;

namespace {

// Far above any id the kernel hands out (pid_max is at most 2^22).
constexpr pid_t missingPid = 0x7ffffff0;

} // namespace

class TestProcessTree : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    std::vector<std::unique_ptr<QProcess>> m_processes;

    QProcess *
    start(const QString &program, const QStringList &arguments,
          const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
    {
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(environment);
        process->setWorkingDirectory(m_dir.path());
        process->start(program, arguments);
        if (!process->waitForStarted())
            return nullptr;
        // The kernel reports a successful exec a moment before the new argument and environment
        // pages can be read.
        QElapsedTimer clock;
        clock.start();
        const pid_t pid = pid_t(process->processId());
        while (!ProcessTree::command(pid) && process->state() == QProcess::Running &&
               clock.elapsed() < 5000)
            QTest::qWait(5);
        m_processes.push_back(std::move(process));
        return m_processes.back().get();
    }

    // Live processes started by this test whose environment carries the tag.
    QList<pid_t> tagged(const QString &tag)
    {
        QList<pid_t> found;
        for (const ProcessTree::Entry &entry : ProcessTree::snapshot()) {
            if (ProcessTree::environment(entry.pid, "VELKO_TEST_TREE") == tag &&
                ProcessTree::isAlive(entry.pid))
                found.append(entry.pid);
        }
        return found;
    }

private slots:
    void cleanup()
    {
        for (auto &process : m_processes) {
            process->kill();
            process->waitForFinished();
        }
        m_processes.clear();
        for (const QString &name : QDir(m_dir.path()).entryList(QDir::Files))
            QFile::remove(m_dir.filePath(name));
    }

    void descendants_data()
    {
        using Entries = QList<ProcessTree::Entry>;
        QTest::addColumn<Entries>("table");
        QTest::addColumn<int>("root");
        QTest::addColumn<QList<pid_t>>("expected");
        const Entries tree {{1, 0}, {2, 1}, {3, 1}, {4, 2}, {5, 3}, {9, 8}};
        QTest::newRow("depth first, last pushed first")
            << tree << 1 << QList<pid_t> {1, 2, 3, 5, 4};
        QTest::newRow("subtree") << tree << 2 << QList<pid_t> {2, 4};
        QTest::newRow("leaf") << tree << 9 << QList<pid_t> {9};
        QTest::newRow("not in the table") << tree << 42 << QList<pid_t> {42};
        QTest::newRow("loop") << Entries {{2, 3}, {3, 2}} << 2 << QList<pid_t> {2, 3};
    }

    void descendants()
    {
        QFETCH(QList<ProcessTree::Entry>, table);
        QFETCH(int, root);
        QFETCH(QList<pid_t>, expected);
        QCOMPARE(ProcessTree::descendants(root, table), expected);
    }

    void liveTable()
    {
        QCOMPARE(ProcessTree::descendants(missingPid), QList<pid_t> {missingPid});

        // The command field of /proc/<pid>/stat can hold spaces and parentheses.
        const QString oddName = m_dir.filePath("x) (y z");
        QVERIFY(QFile::copy("/bin/sleep", oddName));
        QVERIFY(QFile::setPermissions(oddName, QFile::ReadOwner | QFile::ExeOwner));
        QProcess *odd = start(oddName, {"30"});
        QVERIFY(odd);
        const auto table = ProcessTree::snapshot();
        QVERIFY(table.contains(ProcessTree::Entry {::getpid(), ::getppid()}));
        QVERIFY(table.contains(ProcessTree::Entry {pid_t(odd->processId()), ::getpid()}));
        QVERIFY(ProcessTree::descendants(::getpid()).contains(pid_t(odd->processId())));
    }

    void command_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("running");
        QTest::addColumn<QString>("expected"); // null: absent
        QTest::newRow("spaces in arguments")
            << "/bin/sh" << QStringList {"-c", "sleep 30; exit 0", "zero", "two words", "third"}
            << true << "/bin/sh -c sleep 30; exit 0 zero two words third";
        QTest::newRow("vanished") << "/bin/true" << QStringList() << false << QString();
    }

    void command()
    {
        QFETCH(QString, program);
        QFETCH(QStringList, arguments);
        QFETCH(bool, running);
        QFETCH(QString, expected);
        QProcess *process = start(program, arguments);
        QVERIFY(process);
        const pid_t pid = pid_t(process->processId());
        if (!running) {
            process->waitForFinished();
            QCOMPARE(process->state(), QProcess::NotRunning);
        }
        const auto line = ProcessTree::command(pid);
        QCOMPARE(line.has_value(), !expected.isNull());
        if (line)
            QCOMPARE(*line, expected);
        QCOMPARE(ProcessTree::command(missingPid), std::nullopt);
    }

    void environment_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("expected"); // null: absent
        QTest::newRow("set") << "VELKO_PARENT_PID"
                             << "4321";
        QTest::newRow("prefix of a name") << "VELKO_PARENT" << QString();
        QTest::newRow("longer name") << "VELKO_PARENT_PIDS"
                                     << "1,2";
        QTest::newRow("empty value") << "VELKO_EMPTY"
                                     << "";
        QTest::newRow("not set") << "VELKO_NOWHERE" << QString();
    }

    void environment()
    {
        QFETCH(QString, name);
        QFETCH(QString, expected);
        QProcessEnvironment variables;
        variables.insert("VELKO_PARENT_PIDS", "1,2");
        variables.insert("VELKO_PARENT_PID", "4321");
        variables.insert("VELKO_EMPTY", "");
        QProcess *process = start("/bin/sleep", {"30"}, variables);
        QVERIFY(process);
        const auto value = ProcessTree::environment(pid_t(process->processId()), name);
        QCOMPARE(value.has_value(), !expected.isNull());
        if (value)
            QCOMPARE(*value, expected);
    }

    void terminate_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<int>("graceMs");
        QTest::addColumn<int>("minMs");
        QTest::addColumn<int>("maxMs");
        QTest::newRow("ends at once without waiting out the grace")
            << "touch ready; sleep 60; exit 0" << 5000 << 0 << 1500;
        QTest::newRow("ignores SIGTERM")
            << "trap '' TERM; touch ready; while :; do sleep 0.1; done" << 600 << 600 << 2000;
        // The parent ends at once; the child ignores SIGTERM and starts a grandchild during the
        // grace period.
        QTest::newRow("stubborn child, grandchild born in the grace period")
            << "sh -c 'trap \"\" TERM; touch ready; sleep 0.3; sleep 60 & echo $! > grandchild; "
               "wait' & wait"
            << 1500 << 1500 << 3000;
    }

    void terminate()
    {
        QFETCH(QString, script);
        QFETCH(int, graceMs);
        QFETCH(int, minMs);
        QFETCH(int, maxMs);
        const QString tag = QStringLiteral("%1 %2").arg(::getpid()).arg(QTest::currentDataTag());
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("VELKO_TEST_TREE", tag);
        QProcess *root = start("/bin/sh", {"-c", script}, environment);
        QVERIFY(root);
        QTRY_VERIFY(QFile::exists(m_dir.filePath("ready")));
        QVERIFY(!tagged(tag).isEmpty());

        QElapsedTimer clock;
        clock.start();
        const QList<pid_t> left =
            ProcessTree::terminate(pid_t(root->processId()), std::chrono::milliseconds(graceMs));
        const qint64 elapsed = clock.elapsed();
        QCOMPARE(left, QList<pid_t>());
        QVERIFY2(elapsed >= minMs && elapsed <= maxMs, qPrintable(QString::number(elapsed)));
        const QList<pid_t> survivors = tagged(tag);
        QStringList described;
        for (const pid_t pid : survivors)
            described.append(ProcessTree::command(pid).value_or(QString::number(pid)));
        QVERIFY2(survivors.isEmpty(), qPrintable(described.join(", ")));

        QFile grandchild(m_dir.filePath("grandchild"));
        if (tag.contains("grandchild")) {
            QVERIFY(grandchild.open(QIODevice::ReadOnly));
            QVERIFY(!ProcessTree::isAlive(grandchild.readAll().trimmed().toInt()));
        }
    }
};

QTEST_GUILESS_MAIN(TestProcessTree)
#include "tst_processtree.moc"
