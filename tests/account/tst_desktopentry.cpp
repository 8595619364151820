#include "app/DesktopEntry.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <QCoro/QCoroTask>

class TestDesktopEntry : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

    static QString handler()
    {
        QProcess xdgMime;
        xdgMime.start(QStringLiteral("xdg-mime"), {"query", "default", "x-scheme-handler/vuvuvuv"});
        xdgMime.waitForFinished(10000);
        return QString::fromUtf8(xdgMime.readAllStandardOutput()).trimmed();
    }

    static void install()
    {
        bool done = false;
        QCoro::connect(DesktopEntry::install(), QCoreApplication::instance(),
                       [&done] { done = true; });
        QTRY_VERIFY_WITH_TIMEOUT(done, 20000);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        qputenv("XDG_DATA_HOME", dir.filePath("data").toUtf8());
        qputenv("XDG_CONFIG_HOME", dir.filePath("config").toUtf8());
    }

    void execLine_data()
    {
        QTest::addColumn<QString>("executable");
        QTest::addColumn<QString>("exec");
        QTest::newRow("plain") << "/opt/velko/bin/velko"
                               << "Exec=/opt/velko/bin/velko %U";
        QTest::newRow("space") << "/home/a b/velko"
                               << R"(Exec="/home/a b/velko" %U)";
        QTest::newRow("quote, dollar, backslash") << R"(/h/"x"$y\z/velko)"
                                                  << R"(Exec="/h/\\"x\\"\\$y\\\\z/velko" %U)";
    }
    void execLine()
    {
        QFETCH(QString, executable);
        QFETCH(QString, exec);
        const QString entry = "[Desktop Entry]\nName=Velko AI\nExec=velko %U\nTerminal=false\n";
        QCOMPARE(DesktopEntry::withExecutable(entry, executable),
                 "[Desktop Entry]\nName=Velko AI\n" + exec + "\nTerminal=false\n");
    }

    void installsOnceAndRegistersTheScheme()
    {
        const QString path = DesktopEntry::userEntryPath();
        QCOMPARE(path, dir.filePath("data/applications/velko-ai.desktop"));
        QCOMPARE(handler(), QString());
        install();
        QFile entry(path);
        QVERIFY(entry.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(entry.readAll());
        QVERIFY(text.contains("\nExec=" + QCoreApplication::applicationFilePath() + " %U\n"));
        QVERIFY(text.contains("\nMimeType=x-scheme-handler/vuvuvuv;\n"));
        // Owner, group and others (0x0700 are the bits of the user who asks).
        QCOMPARE(entry.permissions() & 0x7077, QFile::ReadOwner | QFile::WriteOwner);
        entry.close();
        QCOMPARE(handler(), QString("velko-ai.desktop"));

        // The user's own entry and choice of handler stand.
        QVERIFY(entry.open(QIODevice::WriteOnly | QIODevice::Truncate));
        entry.write("[Desktop Entry]\nName=Mine\n");
        entry.close();
        QFile other(dir.filePath("data/applications/other.desktop"));
        QVERIFY(other.open(QIODevice::WriteOnly));
        other.write("[Desktop Entry]\nType=Application\nName=Other\nExec=/bin/true %u\n"
                    "MimeType=x-scheme-handler/vuvuvuv;\n");
        other.close();
        QProcess::execute(QStringLiteral("xdg-mime"),
                          {"default", "other.desktop", "x-scheme-handler/vuvuvuv"});
        install();
        QVERIFY(entry.open(QIODevice::ReadOnly));
        QCOMPARE(entry.readAll(), QByteArray("[Desktop Entry]\nName=Mine\n"));
        QCOMPARE(handler(), QString("other.desktop"));
    }
};

QTEST_GUILESS_MAIN(TestDesktopEntry)
#include "tst_desktopentry.moc"
