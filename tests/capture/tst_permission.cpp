#include "core/Permission.h"

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
};

QTEST_APPLESS_MAIN(TestPermission)
#include "tst_permission.moc"
