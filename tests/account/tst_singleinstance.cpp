#include "app/SingleInstance.h"
#include "platform/WebAuthSession.h"

#include <QDeadlineTimer>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLocalSocket>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

class Ignore : public QObject
{
    Q_OBJECT

public Q_SLOTS:
    void openUrl(const QUrl &) { }
};

class TestSingleInstance : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    Ignore browser;

    QString socketPath() const { return dir.filePath(QStringLiteral("velko-ai.instance")); }

    // Runs a later instance from `cwd` and returns its exit code, serving the event loop
    // meanwhile so this process's instance can answer.
    static int later(const QString &socket, const QStringList &args, const QString &cwd)
    {
        QProcess process;
        process.setWorkingDirectory(cwd);
        process.setProcessChannelMode(QProcess::ForwardedChannels);
        process.start(QCoreApplication::applicationDirPath() + "/instance_client",
                      QStringList {"--socket", socket} + args);
        if (!process.waitForStarted(5000))
            return -1;
        QDeadlineTimer deadline(10000);
        while (process.state() != QProcess::NotRunning && !deadline.hasExpired())
            QTest::qWait(10);
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }

    static QCoro::Task<> wait(WebAuthSession &session, std::optional<WebAuthSession::Result> &out)
    {
        out = co_await session.open(QUrl(QStringLiteral("http://127.0.0.1:9/")),
                                    QStringLiteral("vuvuvuv"));
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        QDesktopServices::setUrlHandler(QStringLiteral("http"), &browser, "openUrl");
    }
    void cleanupTestCase() { QDesktopServices::unsetUrlHandler(QStringLiteral("http")); }

    void defaultPathIsInTheRuntimeDirectory()
    {
        qputenv("XDG_RUNTIME_DIR", dir.path().toUtf8());
        QCOMPARE(SingleInstance::defaultPath(), socketPath());
    }

    void handOff_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QString>("callback");
        const QString cwd = dir.filePath(QStringLiteral("elsewhere"));
        const QString back = QStringLiteral("vuvuvuv://auth?state=s&code=c");
        QTest::newRow("nothing") << QStringList() << QStringList() << QString();
        QTest::newRow("relative file")
            << QStringList {"flow.json"} << QStringList {cwd + "/flow.json"} << QString();
        QTest::newRow("file URL and path with spaces")
            << QStringList {"file:///tmp/a%20b.json", "../my recording"}
            << QStringList {"/tmp/a b.json", dir.filePath("my recording")} << QString();
        QTest::newRow("callback") << QStringList {back} << QStringList() << back;
        QTest::newRow("option ignored, callback and file")
            << QStringList {"--minimized", back, "/x/y.json"} << QStringList {"/x/y.json"} << back;
    }
    void handOff()
    {
        QFETCH(QStringList, args);
        QFETCH(QStringList, files);
        QFETCH(QString, callback);
        QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("elsewhere"))));
        SingleInstance first(socketPath());
        QVERIFY(first.claim({}));
        QVERIFY(first.isListening());
        QSignalSpy opened(&first, &SingleInstance::filesOpened);
        QSignalSpy activated(&first, &SingleInstance::activated);
        WebAuthSession session;
        std::optional<WebAuthSession::Result> result;
        wait(session, result);

        QCOMPARE(later(socketPath(), args, dir.filePath(QStringLiteral("elsewhere"))), 0);
        QTRY_COMPARE(activated.size(), 1);
        if (files.isEmpty()) {
            QCOMPARE(opened.size(), 0);
        } else {
            QCOMPARE(opened.size(), 1);
            QList<QUrl> expected;
            for (const QString &file : files)
                expected << QUrl::fromLocalFile(file);
            QCOMPARE(opened.at(0).at(0).value<QList<QUrl>>(), expected);
        }
        if (callback.isEmpty()) {
            QVERIFY(!result);
            session.cancel();
        } else {
            QVERIFY(result);
            QCOMPARE(int(result->end), int(WebAuthSession::End::Callback));
            QCOMPARE(result->url, QUrl(callback));
        }
    }

    void firstInstanceListensOwnerOnly()
    {
        QCOMPARE(later(socketPath(), {}, dir.path()), 3);
        SingleInstance first(socketPath());
        QVERIFY(first.claim({}));
        struct stat info;
        QCOMPARE(::stat(QFile::encodeName(socketPath()).constData(), &info), 0);
        QVERIFY(S_ISSOCK(info.st_mode));
        QCOMPARE(info.st_mode & 07777, mode_t(0600));
    }

    // A socket file left by an instance that died is replaced, not taken for a running one.
    void staleSocketIsReplaced()
    {
        const QByteArray path = QFile::encodeName(socketPath());
        ::unlink(path.constData());
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        qstrncpy(address.sun_path, path.constData(), sizeof address.sun_path);
        QCOMPARE(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        ::close(fd);
        QVERIFY(QFileInfo::exists(socketPath()));

        SingleInstance first(socketPath());
        QVERIFY(first.claim({}));
        QVERIFY(first.isListening());
        QSignalSpy activated(&first, &SingleInstance::activated);
        QCOMPARE(later(socketPath(), {}, dir.path()), 0);
        QTRY_COMPARE(activated.size(), 1);
    }

    void malformedHandOffIsRefused_data()
    {
        QTest::addColumn<QByteArray>("message");
        QTest::newRow("not JSON") << QByteArray("flow.json\n");
        QTest::newRow("an object") << QByteArray("{\"a\":1}\n");
        QTest::newRow("too long without a line end") << QByteArray(2 << 20, 'x');
    }
    void malformedHandOffIsRefused()
    {
        QFETCH(QByteArray, message);
        SingleInstance first(socketPath());
        QVERIFY(first.claim({}));
        QSignalSpy opened(&first, &SingleInstance::filesOpened);
        QSignalSpy activated(&first, &SingleInstance::activated);
        QLocalSocket socket;
        socket.connectToServer(socketPath());
        QVERIFY(socket.waitForConnected(2000));
        socket.write(message);
        QTRY_COMPARE(socket.state(), QLocalSocket::UnconnectedState);
        QCOMPARE(activated.size(), 0);
        QCOMPARE(opened.size(), 0);
        // The instance still takes well-formed hand-offs.
        QCOMPARE(later(socketPath(), {"/x/y.json"}, dir.path()), 0);
        QTRY_COMPARE(opened.size(), 1);
    }
};

QTEST_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"
