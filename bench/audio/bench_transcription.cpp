// Offline transcription with the general US-English model, as shipped:
// - speed: the real-time factor (decoding time / audio time) of a 60-second narration made of
//   the espeak-ng test sentences with pauses, at 16 kHz mono and at 44.1 kHz stereo (resampled).
//   Goal: at most 0.5.
// - accuracy: the word error rate on each test sentence, for the shipped decoder settings and
//   for the variations that were tried when choosing them.
#include "capture/SpeechDecoder.h"
#include "capture/Transcriber.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTextStream>

#include <samplerate.h>
#include <sndfile.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

namespace {

const QString fixtures = QStringLiteral(VELKO_AUDIO_FIXTURES);

double cpuSeconds()
{
    timespec ts {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

std::vector<short> readMono16k(const QString &path)
{
    SF_INFO info {};
    SNDFILE *file = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    if (!file || info.samplerate != 16000 || info.channels != 1) {
        std::fprintf(stderr, "bench: %s is not 16 kHz mono\n", qPrintable(path));
        std::exit(1);
    }
    std::vector<short> samples(size_t(info.frames));
    sf_readf_short(file, samples.data(), info.frames);
    sf_close(file);
    return samples;
}

bool write(const QString &path, const std::vector<float> &samples, int rate, int channels)
{
    SF_INFO info {};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_CAF | SF_FORMAT_PCM_16;
    SNDFILE *file = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    if (!file)
        return false;
    sf_writef_float(file, samples.data(), sf_count_t(samples.size() / size_t(channels)));
    sf_close(file);
    return true;
}

QStringList words(const QString &text)
{
    return text.split(u' ', Qt::SkipEmptyParts);
}

// Substitutions, insertions and deletions between the reference and the hypothesis.
int wordErrors(const QStringList &reference, const QStringList &hypothesis)
{
    std::vector<int> row(size_t(hypothesis.size()) + 1);
    for (size_t j = 0; j < row.size(); ++j)
        row[j] = int(j);
    for (qsizetype i = 1; i <= reference.size(); ++i) {
        int diagonal = row[0];
        row[0] = int(i);
        for (qsizetype j = 1; j <= hypothesis.size(); ++j) {
            const int above = row[size_t(j)];
            row[size_t(j)] = std::min({above + 1, row[size_t(j - 1)] + 1,
                                       diagonal + (reference[i - 1] == hypothesis[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row.back();
}

QString decode(const std::vector<short> &samples, const QMap<QByteArray, QByteArray> &options)
{
    auto decoder = SpeechDecoder::create(nullptr, options);
    if (!decoder)
        return QStringLiteral("(decoder failed)");
    for (size_t at = 0; at < samples.size(); at += 4096) {
        const size_t count = std::min<size_t>(4096, samples.size() - at);
        decoder->process(reinterpret_cast<const int16_t *>(samples.data() + at), count);
    }
    decoder->finish();
    return decoder->text();
}

} // namespace

int main()
{
    QStringList sentences;
    {
        QFile file(fixtures + QStringLiteral("/sentences.txt"));
        if (!file.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "bench: no sentences in %s\n", qPrintable(fixtures));
            return 1;
        }
        sentences = QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts);
    }
    std::vector<std::vector<short>> audio;
    for (qsizetype i = 0; i < sentences.size(); ++i)
        audio.push_back(readMono16k(
            fixtures + QStringLiteral("/sentence-%1.wav").arg(i + 1, 2, 10, QLatin1Char('0'))));

    // Accuracy per decoder setting, on the sentences spoken in turn with a second of silence
    // between them, as narration comes.
    std::vector<short> stream;
    for (const auto &samples : audio) {
        stream.insert(stream.end(), samples.begin(), samples.end());
        stream.insert(stream.end(), 16000, 0);
    }
    const QStringList reference = words(sentences.join(u' '));
    const double streamSeconds = double(stream.size()) / 16000.0;
    const QMap<QByteArray, QByteArray> shipped = SpeechDecoder::defaultOptions();
    const QList<std::pair<const char *, QMap<QByteArray, QByteArray>>> variations {
        {"shipped", {}},
        {"-remove_noise yes (library default)", {{"-remove_noise", "yes"}}},
        {"-bestpath yes (library default)", {{"-bestpath", "yes"}}},
        {"-lw 4", {{"-lw", "4"}}},
        {"-lw 10", {{"-lw", "10"}}},
        {"-fwdflat no", {{"-fwdflat", "no"}}},
        {"wider beams", {{"-beam", "1e-60"}, {"-wbeam", "1e-50"}, {"-pbeam", "1e-60"}}},
        {"-silprob 0.1", {{"-silprob", "0.1"}}},
        {"-wip 0.5", {{"-wip", "0.5"}}},
        {"-vad_threshold 3", {{"-vad_threshold", "3.0"}}},
    };
    std::printf("word error rate on %lld espeak-ng sentences (%lld words, %.1f s with pauses):\n",
                static_cast<long long>(sentences.size()), static_cast<long long>(reference.size()),
                streamSeconds);
    for (const auto &[name, change] : variations) {
        QMap<QByteArray, QByteArray> options = shipped;
        for (auto it = change.begin(); it != change.end(); ++it)
            options.insert(it.key(), it.value());
        const double cpu = cpuSeconds();
        const QString text = decode(stream, options);
        const double rtf = (cpuSeconds() - cpu) / streamSeconds;
        const int errors = wordErrors(reference, words(text));
        std::printf("  %-38s WER %5.1f %%  (%d errors)  RTF %.3f\n", name,
                    100.0 * errors / double(reference.size()), errors, rtf);
        if (QByteArray(name) == "shipped")
            std::printf("      heard: \"%s\"\n", qPrintable(text));
    }

    // Speed on a 60-second narration: the sentences in turn with a second of silence between.
    std::vector<float> narration;
    QStringList spoken;
    for (size_t i = 0; narration.size() < size_t(60 * 16000); i = (i + 1) % audio.size()) {
        for (short sample : audio[i])
            narration.push_back(float(sample) / 32768.0f);
        narration.insert(narration.end(), 16000, 0.0f);
        spoken.append(sentences[qsizetype(i)]);
    }
    narration.resize(size_t(60 * 16000));
    QTemporaryDir dir;
    std::vector<float> stereo44(size_t(60 * 44100) * 2 + 1024);
    {
        std::vector<float> mono44(size_t(60 * 44100) + 512);
        SRC_DATA data {};
        data.data_in = narration.data();
        data.input_frames = long(narration.size());
        data.data_out = mono44.data();
        data.output_frames = long(mono44.size());
        data.src_ratio = 44100.0 / 16000.0;
        src_simple(&data, SRC_SINC_MEDIUM_QUALITY, 1);
        stereo44.resize(size_t(data.output_frames_gen) * 2);
        for (long i = 0; i < data.output_frames_gen; ++i)
            stereo44[size_t(2 * i)] = stereo44[size_t(2 * i + 1)] = mono44[size_t(i)];
    }
    const struct
    {
        const char *name;
        QString path;
    } files[] = {{"16 kHz mono", dir.filePath("system.caf")},
                 {"44.1 kHz stereo", dir.filePath("mic.caf")}};
    if (!write(files[0].path, narration, 16000, 1) || !write(files[1].path, stereo44, 44100, 2)) {
        std::fprintf(stderr, "bench: could not write the narration\n");
        return 1;
    }
    std::printf("60-second narration, shipped settings (goal RTF <= 0.5):\n");
    for (const auto &file : files) {
        const double cpu = cpuSeconds();
        timespec start {}, end {};
        clock_gettime(CLOCK_MONOTONIC, &start);
        const Transcriber::Outcome outcome = Transcriber::transcribe(file.path, QLocale("en_US"));
        clock_gettime(CLOCK_MONOTONIC, &end);
        const double wall =
            double(end.tv_sec - start.tv_sec) + double(end.tv_nsec - start.tv_nsec) / 1e9;
        QStringList heard;
        for (const auto &utterance : outcome.utterances)
            heard.append(utterance.text);
        const QStringList reference = words(spoken.join(u' '));
        std::printf("  %-16s %.2f s wall, %.2f s CPU: RTF %.3f; %lld utterances, WER %.1f %%%s\n",
                    file.name, wall, cpuSeconds() - cpu, wall / 60.0,
                    static_cast<long long>(outcome.utterances.size()),
                    100.0 * wordErrors(reference, words(heard.join(u' '))) / reference.size(),
                    outcome.error ? qPrintable(QStringLiteral(" error: ") + *outcome.error) : "");
    }
    return 0;
}
