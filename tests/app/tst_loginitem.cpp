#include "app/AppLogTail.h"
#include "app/LoginItem.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

class TestLoginItem : public QObject
{
    Q_OBJECT

    QTemporaryDir m_home;

private slots:
    void init()
    {
        qputenv("XDG_STATE_HOME", (m_home.path() + "/state").toUtf8());
        qputenv("XDG_CONFIG_HOME", (m_home.path() + "/config").toUtf8());
        QFile::remove(LoginItem::entryPath());
    }

    void onAndOff()
    {
        QCOMPARE(LoginItem::entryPath(), m_home.path() + "/config/autostart/velko-ai.desktop");
        QVERIFY(LoginItem::set(true));
        QVERIFY(LoginItem::enabled());
        QCOMPARE(AppLogTail::lastLine(), "login item: on — on");
        struct stat info = {};
        QCOMPARE(::stat(QFile::encodeName(LoginItem::entryPath()).constData(), &info), 0);
        QCOMPARE(info.st_mode & 0777, 0600u);
        QFile entry(LoginItem::entryPath());
        QVERIFY(entry.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(entry.readAll());
        QVERIFY(text.startsWith("[Desktop Entry]\n"));
        QVERIFY2(text.contains("\nExec=" + QCoreApplication::applicationFilePath() +
                               " --launched-at-login\n"),
                 qPrintable(text));

        QVERIFY(LoginItem::set(false));
        QVERIFY(!QFile::exists(LoginItem::entryPath()));
        QCOMPARE(AppLogTail::lastLine(), "login item: off — off");
        QVERIFY(LoginItem::set(false));
    }

    void turnedOffByTheDesktop()
    {
        QVERIFY(LoginItem::set(true));
        QFile entry(LoginItem::entryPath());
        QVERIFY(entry.open(QIODevice::Append));
        entry.write("Hidden=true\n");
        entry.close();
        QVERIFY(!LoginItem::enabled());
    }

    void refused()
    {
        // A file where the autostart folder should be.
        QDir(m_home.path() + "/config/autostart").removeRecursively();
        QDir().mkpath(m_home.path() + "/config");
        QFile blocker(m_home.path() + "/config/autostart");
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        QVERIFY(!LoginItem::set(true));
        QVERIFY2(AppLogTail::lastLine().startsWith("login item: could not turn it on — "),
                 qPrintable(AppLogTail::lastLine()));
        QFile::remove(blocker.fileName());
    }
};

QTEST_GUILESS_MAIN(TestLoginItem)
#include "tst_loginitem.moc"
