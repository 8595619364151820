#include "capture/SpeechDecoder.h"

#include "core/SpeechModel.h"

#include <QFile>
#include <QStringList>

#include <vector>

#include <pocketsphinx.h>

namespace {

// Fillers ("<sil>", "[NOISE]") are no words; "word(2)" is the second pronunciation of "word".
QString spokenWord(const char *word)
{
    const QString text = QString::fromUtf8(word);
    if (text.isEmpty() || text.startsWith(u'<') || text.startsWith(u'['))
        return {};
    const qsizetype variant = text.indexOf(u'(');
    return variant > 0 ? text.left(variant) : text;
}

} // namespace

QMap<QByteArray, QByteArray> SpeechDecoder::defaultOptions()
{
    const QString grammar = SpeechModel::grammar();
    QMap<QByteArray, QByteArray> options {
        {"-hmm", QFile::encodeName(SpeechModel::acousticModel())},
        {"-dict", QFile::encodeName(SpeechModel::dictionary())},
        {"-samprate", "16000"},
        // Spectral noise subtraction estimates the noise from the first frames: the exact zeros
        // of a silent output would make it erase the speech that follows.
        {"-remove_noise", "no"},
        // The lattice rescoring pass costs time and, measured on narration, adds errors.
        {"-bestpath", "no"},
        {"-logfn", "/dev/null"},
    };
    if (grammar.isEmpty())
        options.insert("-lm", QFile::encodeName(SpeechModel::languageModel()));
    else
        options.insert("-jsgf", QFile::encodeName(grammar));
    return options;
}

std::unique_ptr<SpeechDecoder> SpeechDecoder::create(QString *error,
                                                     const QMap<QByteArray, QByteArray> &options)
{
    QList<QByteArray> arguments {"velko"};
    for (auto it = options.begin(); it != options.end(); ++it)
        arguments << it.key() << it.value();
    std::vector<char *> argv;
    for (QByteArray &argument : arguments)
        argv.push_back(argument.data());
    cmd_ln_t *config = cmd_ln_parse_r(nullptr, ps_args(), int(argv.size()), argv.data(), FALSE);
    ps_decoder_t *decoder = config ? ps_init(config) : nullptr;
    if (config)
        cmd_ln_free_r(config);
    if (!decoder || ps_start_stream(decoder) < 0 || ps_start_utt(decoder) < 0) {
        if (decoder)
            ps_free(decoder);
        if (error)
            *error = QStringLiteral("could not load the speech model from %1")
                         .arg(SpeechModel::directory());
        return nullptr;
    }
    return std::unique_ptr<SpeechDecoder>(new SpeechDecoder(decoder));
}

SpeechDecoder::SpeechDecoder(ps_decoder_t *decoder)
    : m_decoder(decoder)
    , m_frameRate(cmd_ln_int32_r(ps_get_config(decoder), "-frate"))
{ }

SpeechDecoder::~SpeechDecoder()
{
    // An utterance still open holds search state that only its end frees.
    if (!m_finished)
        ps_end_utt(m_decoder);
    ps_free(m_decoder);
}

void SpeechDecoder::process(const int16_t *samples, size_t count)
{
    if (m_finished || count == 0)
        return;
    ps_process_raw(m_decoder, samples, count, FALSE, FALSE);
    m_utteranceSamples += count;
    const bool inSpeech = ps_get_in_speech(m_decoder);
    // Music or a film on the system audio may never pause: the search of one utterance grows
    // with its length, so a long one is cut into pieces.
    if ((m_inSpeech && !inSpeech) ||
        m_utteranceSamples > size_t(maxUtteranceSeconds * sampleRate)) {
        endUtterance();
        ps_start_utt(m_decoder);
        m_utteranceSamples = 0;
    }
    m_inSpeech = inSpeech;
}

void SpeechDecoder::finish()
{
    if (m_finished)
        return;
    m_finished = true;
    endUtterance();
}

void SpeechDecoder::endUtterance()
{
    ps_end_utt(m_decoder);
    // Segment frames count from the start of the stream, not of the utterance.
    for (ps_seg_t *seg = ps_seg_iter(m_decoder); seg; seg = ps_seg_next(seg)) {
        const QString text = spokenWord(ps_seg_word(seg));
        if (text.isEmpty())
            continue;
        int first = 0;
        int last = 0;
        ps_seg_frames(seg, &first, &last);
        m_words.append({text, first / m_frameRate, (last - first + 1) / m_frameRate});
    }
}

QString SpeechDecoder::text() const
{
    QStringList parts;
    for (const Word &word : m_words)
        parts.append(word.text);
    // The hypothesis already leaves out fillers and names words by their base form.
    if (const char *hypothesis = m_finished ? nullptr : ps_get_hyp(m_decoder, nullptr);
        hypothesis && *hypothesis)
        parts.append(QString::fromUtf8(hypothesis));
    return parts.join(u' ');
}
