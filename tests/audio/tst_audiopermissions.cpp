#include "core/Permission.h"
#include "core/SpeechModel.h"

#include <QProcess>
#include <QTest>

Q_DECLARE_METATYPE(Permission::State)

namespace {

bool setDefaultSource(const QString &name)
{
    return QProcess::execute("pactl", {"set-default-source", name}) == 0;
}

} // namespace

class TstAudioPermissions : public QObject
{
    Q_OBJECT

private slots:
    void states_data()
    {
        QTest::addColumn<QByteArray>("pulseServer");
        QTest::addColumn<QString>("defaultSource");
        QTest::addColumn<QString>("modelDir");
        QTest::addColumn<Permission::State>("microphone");
        QTest::addColumn<Permission::State>("speech");

        using S = Permission::State;
        QTest::newRow("input and model")
            << QByteArray() << QString() << QString() << S::Granted << S::Granted;
        QTest::newRow("no audio server") << QByteArray("unix:/nonexistent/pulse") << QString()
                                         << QString() << S::NotAsked << S::Granted;
        // A monitor repeats the speakers: it is no microphone.
        QTest::newRow("only a monitor")
            << QByteArray() << "velko_null.monitor" << QString() << S::NotAsked << S::Granted;
        QTest::newRow("no model") << QByteArray() << QString() << "/nonexistent" << S::Granted
                                  << S::NotAsked;
    }

    void states()
    {
        QFETCH(QByteArray, pulseServer);
        QFETCH(QString, defaultSource);
        QFETCH(QString, modelDir);
        QFETCH(Permission::State, microphone);
        QFETCH(Permission::State, speech);

        const QByteArray server = qgetenv("PULSE_SERVER");
        const QString installed = SpeechModel::directory();
        if (!pulseServer.isEmpty())
            qputenv("PULSE_SERVER", pulseServer);
        if (!defaultSource.isEmpty())
            QVERIFY(setDefaultSource(defaultSource));
        if (!modelDir.isEmpty())
            SpeechModel::setDirectoryForTesting(modelDir);
        const Permission::State microphoneState = Permission(Permission::Microphone).state();
        const Permission::State speechState = Permission(Permission::Speech).state();
        qputenv("PULSE_SERVER", server);
        SpeechModel::setDirectoryForTesting(installed);
        if (!defaultSource.isEmpty())
            QVERIFY(setDefaultSource("velko_mic"));

        QCOMPARE(microphoneState, microphone);
        QCOMPARE(speechState, speech);
    }
};

QTEST_GUILESS_MAIN(TstAudioPermissions)
#include "tst_audiopermissions.moc"
