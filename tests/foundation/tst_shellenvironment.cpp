#include "core/ProcessTree.h"
#include "core/ShellEnvironment.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <pwd.h>
#include <unistd.h>

using namespace std::chrono_literals;

class TestShellEnvironment : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QByteArray m_shell = qgetenv("SHELL");

    QString writeShell(const QString &body)
    {
        const QString path = m_dir.filePath("shell");
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return {};
        file.write("#!/bin/sh\n" + body.toUtf8() + '\n');
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        return path;
    }

private slots:
    void cleanup() { qputenv("SHELL", m_shell); }

    void parse_data()
    {
        QTest::addColumn<QString>("output");
        QTest::addColumn<QString>("expected"); // null: absent
        QTest::newRow("plain") << "__VELKO__/usr/bin:/bin__VELKO__"
                               << "/usr/bin:/bin";
        QTest::newRow("greeting and prompt around")
            << "Welcome back!\n$ __VELKO__/a:/b__VELKO__\nbye"
            << "/a:/b";
        QTest::newRow("first pair wins") << "__VELKO__/a__VELKO__/b__VELKO__"
                                         << "/a";
        QTest::newRow("empty between") << "__VELKO____VELKO__" << QString();
        QTest::newRow("one marker") << "__VELKO__/a" << QString();
        QTest::newRow("no marker") << "PATH=/a" << QString();
        QTest::newRow("nothing") << "" << QString();
    }

    void parse()
    {
        QFETCH(QString, output);
        QFETCH(QString, expected);
        const auto path = ShellEnvironment::parse(output);
        QCOMPARE(path.has_value(), !expected.isNull());
        if (path)
            QCOMPARE(*path, expected);
    }

    void pipelinePath_data()
    {
        QTest::addColumn<QString>("pythonBin");
        QTest::addColumn<QStringList>("bundled");
        QTest::addColumn<QString>("login"); // null: absent
        QTest::addColumn<QString>("expected");
        QTest::newRow("repeats and empty pieces dropped")
            << "/a/bin" << QStringList {"/b"} << "/usr/bin:/x::/a/bin"
            << "/a/bin:/b:/usr/bin:/x:/opt/homebrew/bin:/usr/local/bin:/bin:/usr/sbin:/sbin";
        QTest::newRow("no login path")
            << "/a/bin" << QStringList {"/b", "/c"} << QString()
            << "/a/bin:/b:/c:/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin";
        QTest::newRow("empty candidates")
            << "" << QStringList {"", "/b", "/b"} << ":"
            << "/b:/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin";
    }

    void pipelinePath()
    {
        QFETCH(QString, pythonBin);
        QFETCH(QStringList, bundled);
        QFETCH(QString, login);
        QFETCH(QString, expected);
        const std::optional<QString> loginPath =
            login.isNull() ? std::nullopt : std::optional(login);
        QCOMPARE(ShellEnvironment::pipelinePath(pythonBin, bundled, loginPath), expected);
    }

    void shellChoice()
    {
        const passwd *entry = ::getpwuid(::getuid());
        const QString fromDatabase = entry && entry->pw_shell && *entry->pw_shell
            ? QString::fromLocal8Bit(entry->pw_shell)
            : QStringLiteral("/bin/sh");
        qputenv("SHELL", "/usr/bin/fish");
        QCOMPARE(ShellEnvironment::shell(), QString("/usr/bin/fish"));
        qputenv("SHELL", "");
        QCOMPARE(ShellEnvironment::shell(), fromDatabase);
        qunsetenv("SHELL");
        QCOMPARE(ShellEnvironment::shell(), fromDatabase);
    }

    void loginPath_data()
    {
        QTest::addColumn<QString>("startup"); // the shell's body; null: no such shell
        QTest::addColumn<int>("timeoutMs");
        QTest::addColumn<QString>("expected"); // null: absent
        QTest::newRow("greeting before the markers")
            << "[ \"$1 $2 $3\" = '-l -i -c' ] || exit 1\n"
               "echo 'Last login: today'\nPATH=/from/profile:/usr/bin\neval \"$4\"\necho bye"
            << 3000 << "/from/profile:/usr/bin";
        QTest::newRow("no markers") << "echo PATH=/usr/bin" << 3000 << QString();
        QTest::newRow("undecodable output")
            << "printf '__VELKO__/\\377__VELKO__'" << 3000 << QString();
        QTest::newRow("hangs in its start-up files")
            << "sleep 30 & echo $! > \"$(dirname \"$0\")/child\"\nwait" << 500 << QString();
        QTest::newRow("cannot start") << QString() << 3000 << QString();
    }

    void loginPath()
    {
        QFETCH(QString, startup);
        QFETCH(int, timeoutMs);
        QFETCH(QString, expected);
        QFile::remove(m_dir.filePath("child"));
        qputenv("SHELL",
                startup.isNull() ? m_dir.filePath("missing").toUtf8()
                                 : writeShell(startup).toUtf8());
        QElapsedTimer clock;
        clock.start();
        const auto path = ShellEnvironment::loginPath(std::chrono::milliseconds(timeoutMs));
        QVERIFY2(clock.elapsed() < timeoutMs + 1000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(path.has_value(), !expected.isNull());
        if (path)
            QCOMPARE(*path, expected);

        // A shell ended at its time-out takes the processes it started with it.
        QFile child(m_dir.filePath("child"));
        if (child.open(QIODevice::ReadOnly)) {
            QVERIFY(clock.elapsed() >= timeoutMs);
            QVERIFY(!ProcessTree::isAlive(child.readAll().trimmed().toInt()));
        }
    }

    void realLoginShell()
    {
        if (!QFile::exists("/bin/bash"))
            QSKIP("no bash");
        qputenv("SHELL", "/bin/bash");
        const auto path = ShellEnvironment::loginPath(5s);
        QVERIFY(path.has_value());
        QVERIFY2(path->split(':').contains("/usr/bin"), qPrintable(*path));
    }
};

QTEST_GUILESS_MAIN(TestShellEnvironment)
#include "tst_shellenvironment.moc"
