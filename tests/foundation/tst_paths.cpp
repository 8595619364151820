#include "core/Paths.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

class TestPaths : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        for (const char *name :
             {"VELKO_DATA_DIR", "VELKO_REPO", "VELKO_PYTHON_HOME", "VELKO_OPENCODE_HOME",
              "XDG_DATA_HOME", "XDG_STATE_HOME", "XDG_CACHE_HOME"})
            qunsetenv(name);
    }

    void defaults()
    {
        const QString home = QDir::homePath();
        QCOMPARE(Paths::dataDir(), home + "/.local/share/Velko AI");
        QCOMPARE(Paths::logsDir(), home + "/.local/state/Velko AI/logs");
        QCOMPARE(Paths::pycacheDir(), home + "/.cache/Velko AI/pycache");
        qputenv("XDG_DATA_HOME", "/x/data");
        qputenv("XDG_STATE_HOME", "/x/state");
        qputenv("XDG_CACHE_HOME", "relative/ignored");
        QCOMPARE(Paths::dataDir(), QString("/x/data/Velko AI"));
        QCOMPARE(Paths::logsDir(), QString("/x/state/Velko AI/logs"));
        QCOMPARE(Paths::pycacheDir(), home + "/.cache/Velko AI/pycache");
    }

    void overrides_data()
    {
        QTest::addColumn<QByteArray>("variable");
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<QString>("location");
        QTest::addColumn<QString>("expected");
        const QString home = QDir::homePath();
        const QString bundle = Paths::bundleResources();
        QTest::newRow("data dir tilde")
            << QByteArray("VELKO_DATA_DIR") << QByteArray("~/d") << "dataDir" << home + "/d";
        QTest::newRow("data dir empty") << QByteArray("VELKO_DATA_DIR") << QByteArray("")
                                        << "dataDir" << home + "/.local/share/Velko AI";
        QTest::newRow("python home tilde kept")
            << QByteArray("VELKO_PYTHON_HOME") << QByteArray("~/py") << "pythonHome"
            << "~/py";
        QTest::newRow("python home default") << QByteArray("VELKO_PYTHON_HOME") << QByteArray()
                                             << "pythonHome" << bundle + "/python";
        QTest::newRow("server root repo")
            << QByteArray("VELKO_REPO") << QByteArray("/r") << "serverRoot"
            << "/r/server";
        QTest::newRow("opencode") << QByteArray("VELKO_OPENCODE_HOME") << QByteArray("/o")
                                  << "opencodeBin"
                                  << "/o/bin";
        QTest::newRow("opencode default") << QByteArray("VELKO_OPENCODE_HOME") << QByteArray()
                                          << "opencodeBin" << bundle + "/opencode/bin";
    }

    void overrides()
    {
        QFETCH(QByteArray, variable);
        QFETCH(QByteArray, value);
        QFETCH(QString, location);
        QFETCH(QString, expected);
        if (!value.isNull())
            qputenv(variable.constData(), value);
        const QHash<QString, QString (*)()> locations = {
            {"dataDir", Paths::dataDir},
            {"pythonHome", Paths::pythonHome},
            {"serverRoot", Paths::serverRoot},
            {"opencodeBin", Paths::opencodeBin},
        };
        QCOMPARE(locations.value(location)(), expected);
    }

    void pipelineRootFollowsRepo_data()
    {
        QTest::addColumn<QStringList>("present");
        QTest::addColumn<QString>("expected");
        QTest::newRow("neither") << QStringList() << "core";
        QTest::newRow("client only") << QStringList {"client"} << "client";
        QTest::newRow("both") << QStringList {"client", "core"} << "core";
    }

    void pipelineRootFollowsRepo()
    {
        QFETCH(QStringList, present);
        QFETCH(QString, expected);
        QTemporaryDir repo;
        for (const QString &dir : present)
            QVERIFY(QDir(repo.path()).mkdir(dir));
        qputenv("VELKO_REPO", repo.path().toUtf8());
        QCOMPARE(Paths::pipelineRoot(), repo.path() + '/' + expected);
    }

    void bundleIsBesideTheExecutable()
    {
        const QString exeDir = QFileInfo("/proc/self/exe").canonicalFilePath().section('/', 0, -2);
        QCOMPARE(Paths::bundleResources(), QDir::cleanPath(exeDir + "/../share/velko-ai"));
        QCOMPARE(Paths::pipelineRoot(), Paths::bundleResources() + "/app");
    }

    void controlSocketIsPerProcess()
    {
        const QString socket = Paths::controlSocket();
        QVERIFY(socket.endsWith(QString("/velko-ai-host-%1.sock").arg(getpid())));
        QVERIFY(socket.startsWith(Paths::runtimeDir() + '/'));
        QVERIFY(socket.toUtf8().size() < 108);
    }

    void ensureCreatesAndRestricts()
    {
        QTemporaryDir base;
        qputenv("VELKO_DATA_DIR", (base.path() + "/a/data").toUtf8());
        qputenv("XDG_STATE_HOME", (base.path() + "/state").toUtf8());
        qputenv("XDG_CACHE_HOME", (base.path() + "/cache").toUtf8());
        for (int round = 0; round < 2; ++round) {
            QCOMPARE(Paths::ensure(), std::nullopt);
            for (const QString &dir : {Paths::dataDir(), Paths::logsDir(), Paths::pycacheDir()})
                QVERIFY2(QFileInfo(dir).isDir(), qPrintable(dir));
            struct stat info
            {
            };
            QCOMPARE(::stat(QFile::encodeName(Paths::dataDir()).constData(), &info), 0);
            QCOMPARE(info.st_mode & 0777, 0700u);
            ::chmod(QFile::encodeName(Paths::dataDir()).constData(), 0755);
        }
    }

    void ensureReportsFailure()
    {
        QTemporaryDir base;
        QFile blocker(base.path() + "/file");
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        qputenv("VELKO_DATA_DIR", (base.path() + "/file/data").toUtf8());
        const auto error = Paths::ensure();
        QVERIFY(error.has_value());
        QVERIFY2(error->contains("file/data"), qPrintable(*error));
    }
};

QTEST_GUILESS_MAIN(TestPaths)
#include "tst_paths.moc"
