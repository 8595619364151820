#include "capture/NativeRecorder.h"
#include "core/SpeechModel.h"

#include <QDir>
#include <QJsonArray>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <mutex>

namespace {

const QStringList twoSentences {"open the browser and search for the weather",
                                "send the report to the team"};

} // namespace

class TstRecordingAudio : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        SpeechModel::setGrammarForTesting(QStringLiteral(VELKO_FIXTURES_DIR "/sentences.gram"));
    }

    void narration_data()
    {
        QTest::addColumn<bool>("audio");
        QTest::addColumn<bool>("microphone");
        QTest::addColumn<QString>("playInto");
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QByteArray>("pulseServer");
        QTest::addColumn<QString>("speechSource"); // of every speech line; empty: none
        QTest::addColumn<QJsonValue>("engine");
        QTest::addColumn<QStringList>("speechErrors");
        QTest::addColumn<int>("warnings");

        const QJsonValue sphinx("PocketSphinx");
        QTest::newRow("system audio")
            << true << false << "velko_null"
            << "en_US" << QByteArray() << "system" << sphinx << QStringList() << 0;
        QTest::newRow("microphone")
            << false << true << "velko_mic_feed"
            << "en_US" << QByteArray() << "mic" << sphinx << QStringList() << 0;
        // The silent microphone is transcribed too, first: its engine names the summary's.
        QTest::newRow("both, speech on the system audio")
            << true << true << "velko_null"
            << "en_US" << QByteArray() << "system" << sphinx << QStringList() << 0;
        QTest::newRow("neither") << false << false << "velko_null"
                                 << "en_US" << QByteArray() << QString() << QJsonValue()
                                 << QStringList() << 0;
        QTest::newRow("no recognizer for the language")
            << true << true << QString() << "de_DE" << QByteArray() << QString() << sphinx
            << QStringList {"mic: no speech recognizer for de_DE",
                            "system: no speech recognizer for de_DE"}
            << 0;
        QTest::newRow("no audio server")
            << true << true << QString() << "en_US" << QByteArray("unix:/nonexistent/pulse")
            << QString() << QJsonValue() << QStringList() << 2;
    }

    void narration()
    {
        QFETCH(bool, audio);
        QFETCH(bool, microphone);
        QFETCH(QString, playInto);
        QFETCH(QString, locale);
        QFETCH(QByteArray, pulseServer);
        QFETCH(QString, speechSource);
        QFETCH(QJsonValue, engine);
        QFETCH(QStringList, speechErrors);
        QFETCH(int, warnings);

        QTemporaryDir dir;
        std::mutex mutex;
        QList<QJsonObject> lines;
        const QByteArray server = qgetenv("PULSE_SERVER");
        if (!pulseServer.isEmpty())
            qputenv("PULSE_SERVER", pulseServer);
        QLocale::setDefault(QLocale(locale));
        NativeRecorder recorder(
            {dir.filePath("frames"), dir.filePath("audio"), 1, audio, microphone, false},
            [&](const QJsonObject &line) {
                std::lock_guard lock(mutex);
                lines.append(line);
            });
        recorder.start();
        qputenv("PULSE_SERVER", server);

        double playedAt = 0;
        if (!playInto.isEmpty()) {
            QProcess player;
            playedAt = NativeRecorder::now();
            player.start("paplay",
                         {"--device=" + playInto, VELKO_FIXTURES_DIR "/two-sentences.wav"});
            QVERIFY(player.waitForFinished(20000));
            QCOMPARE(player.exitCode(), 0);
        }
        QTest::qWait(300);
        const QJsonObject summary = recorder.stop();
        const double stoppedAt = NativeRecorder::now();
        QLocale::setDefault(QLocale::c());

        QList<QJsonObject> speech;
        int warned = 0;
        for (const QJsonObject &line : lines) {
            if (line.value("type") == "speech")
                speech.append(line);
            if (line.value("type") == "warning")
                ++warned;
        }
        QCOMPARE(warned, warnings);
        QStringList texts;
        for (const QJsonObject &line : speech) {
            texts.append(line.value("text").toString());
            QCOMPARE(line.value("source").toString(), speechSource);
            const double t = line.value("t").toDouble();
            QVERIFY(t >= recorder.started() && t <= stoppedAt);
        }
        QCOMPARE(texts, speechSource.isEmpty() ? QStringList() : twoSentences);
        if (!speech.isEmpty()) {
            // Placed on the time line as played: after 0.5 s of silence, then 1.5 s apart.
            const double first = speech[0].value("t").toDouble();
            const double second = speech[1].value("t").toDouble();
            QVERIFY2(qAbs(first - (playedAt + 0.5)) < 0.5,
                     qPrintable(QString::number(first - playedAt)));
            QVERIFY2(qAbs(second - first - 3.94) < 0.3,
                     qPrintable(QString::number(second - first)));
        }

        QCOMPARE(summary.value("speech").toInt(), speech.size());
        QCOMPARE(summary.value("audio_enabled").toBool(), audio || microphone);
        QCOMPARE(summary.value("audio_engine"), engine);
        QCOMPARE(summary.value("transcription_local"), QJsonValue(true));
        QStringList errors;
        for (const QJsonValue &error : summary.value("speech_errors").toArray())
            errors.append(error.toString());
        QCOMPARE(errors, speechErrors);
        QCOMPARE(summary.contains("speech_errors"), !speechErrors.isEmpty());
        // Nothing of the narration stays on disk.
        QCOMPARE(QDir(dir.filePath("audio")).entryList(QDir::Files), QStringList());
    }
};

QTEST_GUILESS_MAIN(TstRecordingAudio)
#include "tst_recordingaudio.moc"
