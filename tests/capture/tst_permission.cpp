#include "core/Permission.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class TestPermission : public QObject
{
    Q_OBJECT

private slots:
    void cases()
    {
        QStringList raw;
        QList<bool> required;
        for (Permission permission : Permission::all()) {
            raw << permission.rawValue();
            required << permission.required();
        }
        QCOMPARE(
            raw,
            (QStringList {"screen", "accessibility", "inputMonitoring", "microphone", "speech"}));
        QCOMPARE(required, (QList<bool> {true, true, false, false, false}));
    }

    void fromRaw_data()
    {
        QTest::addColumn<QString>("raw");
        QTest::addColumn<int>("kind");
        QTest::newRow("screen") << "screen" << int(Permission::Screen);
        QTest::newRow("inputMonitoring") << "inputMonitoring" << int(Permission::InputMonitoring);
        QTest::newRow("letter case differs") << "Screen" << -1;
        QTest::newRow("lower-case input") << "inputmonitoring" << -1;
        QTest::newRow("empty") << "" << -1;
    }
    void fromRaw()
    {
        QFETCH(QString, raw);
        QFETCH(int, kind);
        const std::optional<Permission> permission = Permission::fromRaw(raw);
        QCOMPARE(permission ? int(permission->kind()) : -1, kind);
    }

    void settingsAreTheDesktopsPanels_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QStringList>("installed");
        QTest::addColumn<QString>("opened");
        QTest::newRow("display panel")
            << int(Permission::Screen) << QStringList {"gnome-display-panel.desktop"}
            << "gnome-display-panel.desktop";
        QTest::newRow("first installed wins")
            << int(Permission::Microphone)
            << QStringList {"pavucontrol.desktop", "gnome-sound-panel.desktop"}
            << "gnome-sound-panel.desktop";
        QTest::newRow("none installed")
            << int(Permission::Accessibility) << QStringList {} << QString();
        QTest::newRow("speech has none")
            << int(Permission::Speech) << QStringList {"gnome-display-panel.desktop"} << QString();
    }
    void settingsAreTheDesktopsPanels()
    {
        QFETCH(int, kind);
        QFETCH(QStringList, installed);
        QFETCH(QString, opened);
        QTemporaryDir data;
        QVERIFY(QDir(data.path()).mkpath("applications"));
        for (const QString &name : installed) {
            QFile entry(data.filePath("applications/" + name));
            QVERIFY(entry.open(QIODevice::WriteOnly));
        }
        qputenv("XDG_DATA_HOME", data.filePath("home").toUtf8());
        qputenv("XDG_DATA_DIRS", data.path().toUtf8());
        const std::optional<QUrl> url = Permission(Permission::Kind(kind)).settingsURL();
        QCOMPARE(url ? url->toLocalFile() : QString(),
                 opened.isEmpty() ? QString() : data.filePath("applications/" + opened));
    }
};

QTEST_APPLESS_MAIN(TestPermission)
#include "tst_permission.moc"
