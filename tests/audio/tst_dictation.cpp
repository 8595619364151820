#include "capture/Dictation.h"
#include "core/Refused.h"
#include "core/SpeechModel.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <QCoro/QCoroTask>

#include <algorithm>

namespace {

const QString sentence = QStringLiteral("click the blue button at the top of the page");

void play(const QString &file)
{
    QProcess player;
    player.start("paplay",
                 {"--device=velko_mic_feed", QStringLiteral(VELKO_FIXTURES_DIR "/") + file});
    QVERIFY(player.waitForFinished(15000));
    QCOMPARE(player.exitCode(), 0);
}

// Runs a start that may throw and gives the refusal's text, empty when it did not refuse.
QCoro::Task<QString> refusalOf(QCoro::Task<void> start)
{
    try {
        co_await std::move(start);
    } catch (const PageBridge::Refused &refusal) {
        co_return refusal.why;
    }
    co_return QString();
}

} // namespace

class TstDictation : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        SpeechModel::setGrammarForTesting(QStringLiteral(VELKO_FIXTURES_DIR "/sentences.gram"));
    }

    void dictatesThePlayedSentence()
    {
        QStringList delivered;
        Dictation::shared().setDelivery([&](const QString &text) { delivered.append(text); });
        QCoro::waitFor(Dictation::shared().start());
        play("sentence-04.wav");
        QTest::qWait(300);
        const QString text = QCoro::waitFor(Dictation::shared().stop());
        Dictation::shared().setDelivery(nullptr);

        QCOMPARE(text, sentence);
        // The page hears the text grow while the user speaks, each time all of it. The decoder
        // may revise its guess on the way, so only the growth towards the sentence is certain.
        QVERIFY2(delivered.size() >= 2, qPrintable(delivered.join(" | ")));
        QCOMPARE(delivered.last(), sentence);
        const bool grew = std::any_of(delivered.begin(), delivered.end() - 1, [](const QString &t) {
            return !t.isEmpty() && t != sentence && sentence.startsWith(t);
        });
        QVERIFY2(grew, qPrintable(delivered.join(" | ")));

        // Without a running dictation, stop() gives the last text again.
        QCOMPARE(QCoro::waitFor(Dictation::shared().stop()), sentence);
    }

    void restartDropsTheEarlierText()
    {
        QCoro::waitFor(Dictation::shared().start());
        play("sentence-02.wav");
        QCoro::waitFor(Dictation::shared().start());
        QCOMPARE(QCoro::waitFor(Dictation::shared().stop()), QString());
    }

    void refusals_data()
    {
        QTest::addColumn<QByteArray>("pulseServer");
        QTest::addColumn<QString>("modelDir");
        QTest::addColumn<QString>("why");

        QTest::newRow("no audio server")
            << QByteArray("unix:/nonexistent/pulse.sock") << QString()
            << "Allow the microphone for Velko AI: System Settings → Privacy & Security → "
               "Microphone.";
        QTest::newRow("no model") << QByteArray() << "/nonexistent"
                                  << "Allow Speech Recognition for Velko AI: System Settings → "
                                     "Privacy & Security → Speech Recognition.";
        QTest::newRow("unusable model")
            << QByteArray() << "broken"
            << "This Mac can't turn speech into text by itself — type it instead.";
    }

    void refusals()
    {
        QFETCH(QByteArray, pulseServer);
        QFETCH(QString, modelDir);
        QFETCH(QString, why);

        // The installed model with a language model that is no such thing.
        QTemporaryDir broken;
        const QString installed = SpeechModel::directory();
        QVERIFY(QFile::link(installed + "/en-us", broken.filePath("en-us")));
        QVERIFY(
            QFile::link(installed + "/cmudict-en-us.dict", broken.filePath("cmudict-en-us.dict")));
        QFile languageModel(broken.filePath("en-us.lm.bin"));
        QVERIFY(languageModel.open(QIODevice::WriteOnly));
        languageModel.write("not a language model\n");
        languageModel.close();

        const QByteArray server = qgetenv("PULSE_SERVER");
        if (!pulseServer.isEmpty())
            qputenv("PULSE_SERVER", pulseServer);
        if (!modelDir.isEmpty())
            SpeechModel::setDirectoryForTesting(modelDir == "broken" ? broken.path() : modelDir);
        const QString grammar = SpeechModel::grammar();
        SpeechModel::setGrammarForTesting({});
        const QString refusal = QCoro::waitFor(refusalOf(Dictation::shared().start()));
        SpeechModel::setGrammarForTesting(grammar);
        qputenv("PULSE_SERVER", server);
        SpeechModel::setDirectoryForTesting(installed);
        QCOMPARE(refusal, why);
    }

    void eventScript_data()
    {
        QTest::addColumn<QString>("text");

        QTest::newRow("plain") << "open the browser";
        QTest::newRow("empty") << "";
        QTest::newRow("quotes") << R"(say "hi" and 'bye')";
        QTest::newRow("line breaks and backslash") << "one\ntwo\r\nthree \\ four";
        QTest::newRow("script end and unicode") << "</script> — ünïcødé";
    }

    // The text reaches the page intact because it travels as JSON.
    void eventScript()
    {
        QFETCH(QString, text);
        const QString script = Dictation::eventScript(text);
        const QString head = "window.dispatchEvent(new CustomEvent('velko-voice', {detail: ";
        const QString tail = "}))";
        QVERIFY(script.startsWith(head));
        QVERIFY(script.endsWith(tail));
        const QString json = script.mid(head.size(), script.size() - head.size() - tail.size());
        QVERIFY(!json.contains('\n'));
        const QJsonObject detail = QJsonDocument::fromJson(json.toUtf8()).object();
        QCOMPARE(detail.keys(), QStringList {"text"});
        QCOMPARE(detail.value("text").toString(), text);
    }
};

QTEST_GUILESS_MAIN(TstDictation)
#include "tst_dictation.moc"
