#include "capture/Transcriber.h"
#include "core/SpeechModel.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <sndfile.h>

#include <algorithm>
#include <vector>

using Words = QList<SpeechDecoder::Word>;
using Utterances = QList<Transcriber::Utterance>;

class TstTranscriber : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(SpeechModel::installed(), "the speech model is not installed");
        SpeechModel::setGrammarForTesting(QStringLiteral(VELKO_FIXTURES_DIR "/sentences.gram"));
    }

    void group_data()
    {
        QTest::addColumn<Words>("words");
        QTest::addColumn<Utterances>("expected");

        QTest::newRow("no words") << Words {} << Utterances {};
        QTest::newRow("one word") << Words {{"hello", 2.5, 0.4}} << Utterances {{2.5, "hello"}};
        // Two sentences 1.5 s apart are two utterances; 0.8 s apart they stay one.
        QTest::newRow("pause of 1.5 s")
            << Words {{"send", 0.5, 0.3}, {"it", 0.8, 0.2}, {"now", 2.5, 0.4}}
            << Utterances {{0.5, "send it"}, {2.5, "now"}};
        QTest::newRow("pause of 0.8 s")
            << Words {{"send", 0.5, 0.3}, {"it", 0.8, 0.2}, {"now", 1.8, 0.4}}
            << Utterances {{0.5, "send it now"}};
        // The gap is measured from the end of the previous word, not its start.
        QTest::newRow("long word then short gap")
            << Words {{"supercalifragilistic", 0.0, 1.6}, {"yes", 2.2, 0.3}}
            << Utterances {{0.0, "supercalifragilistic yes"}};
        QTest::newRow("exactly one second keeps together")
            << Words {{"a", 0.0, 0.5}, {"b", 1.5, 0.5}} << Utterances {{0.0, "a b"}};
        QTest::newRow("word at time zero")
            << Words {{"first", 0.0, 0.3}} << Utterances {{0.0, "first"}};
    }

    void group()
    {
        QFETCH(Words, words);
        QFETCH(Utterances, expected);
        const Utterances got = Transcriber::group(words);
        QCOMPARE(got.size(), expected.size());
        for (qsizetype i = 0; i < got.size(); ++i) {
            QCOMPARE(got[i].text, expected[i].text);
            QCOMPARE(got[i].offset, expected[i].offset);
        }
    }

    // Real files through the decoder: rate conversion, down-mixing, offsets and pauses.
    void transcribeFile_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QStringList>("texts");
        QTest::addColumn<QList<double>>("offsets");

        QTest::newRow("two sentences, 1.5 s apart")
            << "two-sentences.wav"
            << QStringList {"open the browser and search for the weather",
                            "send the report to the team"}
            << QList<double> {0.5, 0.5 + 2.44 + 1.5};
        QTest::newRow("22 kHz stereo")
            << "sentence-22k-stereo.wav" << QStringList {"copy the total from the spreadsheet"}
            << QList<double> {0.0};
    }

    void transcribeFile()
    {
        QFETCH(QString, file);
        QFETCH(QStringList, texts);
        QFETCH(QList<double>, offsets);
        const Transcriber::Outcome outcome = Transcriber::transcribe(
            QStringLiteral(VELKO_FIXTURES_DIR "/") + file, QLocale(QLocale::English));
        QVERIFY2(!outcome.error, qPrintable(outcome.error.value_or(QString())));
        QCOMPARE(outcome.engine, QStringLiteral("PocketSphinx"));
        QVERIFY(outcome.onDevice);
        QStringList got;
        for (const auto &utterance : outcome.utterances)
            got.append(utterance.text);
        QCOMPARE(got, texts);
        for (qsizetype i = 0; i < offsets.size(); ++i)
            QVERIFY2(qAbs(outcome.utterances[i].offset - offsets[i]) < 0.3,
                     qPrintable(QString::number(outcome.utterances[i].offset)));
    }

    void silenceGivesNothing()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("silence.caf");
        SF_INFO info {};
        info.samplerate = 16000;
        info.channels = 1;
        info.format = SF_FORMAT_CAF | SF_FORMAT_PCM_16;
        SNDFILE *file = sf_open(path.toUtf8().constData(), SFM_WRITE, &info);
        QVERIFY(file);
        const std::vector<short> zeros(16000 * 3);
        sf_writef_short(file, zeros.data(), sf_count_t(zeros.size()));
        sf_close(file);

        const Transcriber::Outcome outcome = Transcriber::transcribe(path, QLocale("en_US"));
        QVERIFY(!outcome.error);
        QVERIFY(outcome.utterances.isEmpty());
    }

    // Speech that never pauses for 40 s is still decoded in pieces of at most 30 s, so the
    // search never holds a whole film's worth of audio.
    void longSpeechIsCutIntoPieces()
    {
        QTemporaryDir dir;
        QFile sentences(VELKO_FIXTURES_DIR "/sentences.txt");
        QVERIFY(sentences.open(QIODevice::ReadOnly));
        QStringList vocabulary = QString::fromUtf8(sentences.readAll())
                                     .split(QRegularExpression("\\s+"), Qt::SkipEmptyParts);
        vocabulary.removeDuplicates();
        // Any sequence of the words: a piece cut in mid-sentence still decodes.
        QFile grammar(dir.filePath("words.gram"));
        QVERIFY(grammar.open(QIODevice::WriteOnly));
        grammar.write("#JSGF V1.0;\ngrammar words;\npublic <words> = ( " +
                      vocabulary.join(" | ").toUtf8() + " )+;\n");
        grammar.close();

        std::vector<short> speech;
        for (int round = 0; round < 2; ++round) {
            for (int i = 1; i <= 10; ++i) {
                SF_INFO info {};
                SNDFILE *file = sf_open(QStringLiteral(VELKO_FIXTURES_DIR "/sentence-%1.wav")
                                            .arg(i, 2, 10, QChar('0'))
                                            .toUtf8()
                                            .constData(),
                                        SFM_READ, &info);
                QVERIFY(file);
                std::vector<short> samples(size_t(info.frames));
                sf_readf_short(file, samples.data(), info.frames);
                sf_close(file);
                speech.insert(speech.end(), samples.begin(), samples.end());
            }
        }
        QVERIFY(speech.size() > 40 * 16000);

        const QString shipped = SpeechModel::grammar();
        SpeechModel::setGrammarForTesting(grammar.fileName());
        auto decoder = SpeechDecoder::create(nullptr);
        SpeechModel::setGrammarForTesting(shipped);
        QVERIFY(decoder);
        for (size_t at = 0; at < speech.size(); at += 1600)
            decoder->process(reinterpret_cast<const int16_t *>(speech.data() + at),
                             std::min<size_t>(1600, speech.size() - at));
        QVERIFY(!decoder->words().isEmpty());
        QVERIFY(decoder->words().last().start < SpeechDecoder::maxUtteranceSeconds + 0.5);
        decoder->finish();
        QVERIFY(decoder->words().last().start > SpeechDecoder::maxUtteranceSeconds);
    }

    void failures_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QString>("modelDir");
        QTest::addColumn<QString>("error");

        const QString speech = QStringLiteral(VELKO_FIXTURES_DIR "/two-sentences.wav");
        QTest::newRow("other language")
            << speech << "de_DE" << QString() << "no speech recognizer for de_DE";
        QTest::newRow("British English is served") << speech << "en_GB" << QString() << QString();
        QTest::newRow("the C locale is served") << speech << "C" << QString() << QString();
        QTest::newRow("model missing")
            << speech << "en_US"
            << "/nonexistent"
            << "on-device recognition is not available for en_US; nothing was transcribed";
        QTest::newRow("file missing") << "/nonexistent/mic.caf"
                                      << "en_US" << QString() << "could not read the audio file: ";
        QTest::newRow("not audio") << QStringLiteral(VELKO_FIXTURES_DIR "/sentences.txt") << "en_US"
                                   << QString() << "could not read the audio file: ";
    }

    void failures()
    {
        QFETCH(QString, file);
        QFETCH(QString, locale);
        QFETCH(QString, modelDir);
        QFETCH(QString, error);
        const QString installedDir = SpeechModel::directory();
        if (!modelDir.isEmpty())
            SpeechModel::setDirectoryForTesting(modelDir);
        const Transcriber::Outcome outcome = Transcriber::transcribe(file, QLocale(locale));
        SpeechModel::setDirectoryForTesting(installedDir);

        QCOMPARE(outcome.engine, QStringLiteral("PocketSphinx"));
        QVERIFY(outcome.onDevice);
        if (error.isEmpty()) {
            QVERIFY(!outcome.error);
            QVERIFY(!outcome.utterances.isEmpty());
        } else {
            QVERIFY(outcome.error);
            QVERIFY2(outcome.error->startsWith(error), qPrintable(*outcome.error));
            QVERIFY(outcome.utterances.isEmpty());
        }
    }
};

QTEST_GUILESS_MAIN(TstTranscriber)
#include "tst_transcriber.moc"
