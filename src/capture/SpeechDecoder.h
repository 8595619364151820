#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>

#include <cstdint>
#include <memory>

typedef struct ps_decoder_s ps_decoder_t;

// PocketSphinx decoding one continuous stream of 16 kHz mono audio. The decoder's voice
// detection cuts the stream into utterances of at most maxUtteranceSeconds; each is decoded in
// full when it ends, so memory stays flat however long the stream is.
class SpeechDecoder
{
public:
    static constexpr int sampleRate = 16000;
    static constexpr int maxUtteranceSeconds = 30;

    struct Word
    {
        QString text;
        double start = 0; // seconds from the start of the stream
        double duration = 0;
    };

    // The decoder's settings: the installed model (or the test grammar) and the tuning chosen
    // for it, by option name.
    static QMap<QByteArray, QByteArray> defaultOptions();
    // Loads the model; a message when it cannot.
    static std::unique_ptr<SpeechDecoder>
    create(QString *error, const QMap<QByteArray, QByteArray> &options = defaultOptions());
    ~SpeechDecoder();

    SpeechDecoder(const SpeechDecoder &) = delete;
    SpeechDecoder &operator=(const SpeechDecoder &) = delete;

    void process(const int16_t *samples, size_t count);
    // The stream ended: decodes what is left.
    void finish();

    // The words of every finished utterance, in order; silences and noises left out.
    const QList<Word> &words() const { return m_words; }
    // Everything heard so far, with the best guess for the utterance still going on.
    QString text() const;

private:
    explicit SpeechDecoder(ps_decoder_t *decoder);
    void endUtterance();

    ps_decoder_t *m_decoder;
    double m_frameRate;
    bool m_inSpeech = false;
    size_t m_utteranceSamples = 0;
    bool m_finished = false;
    QList<Word> m_words;
};
