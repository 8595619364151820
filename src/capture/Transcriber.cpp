#include "capture/Transcriber.h"

#include "core/SpeechModel.h"

#include <QFile>

#include <algorithm>
#include <memory>
#include <vector>

#include <samplerate.h>
#include <sndfile.h>

namespace {

constexpr sf_count_t chunkFrames = 8192;

struct FileCloser
{
    void operator()(SNDFILE *file) const { sf_close(file); }
};

struct ResamplerDeleter
{
    void operator()(SRC_STATE *state) const { src_delete(state); }
};

// Feeds float samples to the decoder as 16-bit integers.
void feed(SpeechDecoder &decoder, const float *samples, size_t count, std::vector<int16_t> &out)
{
    out.resize(count);
    for (size_t i = 0; i < count; ++i)
        out[i] = int16_t(std::clamp(samples[i], -1.0f, 1.0f) * 32767.0f);
    decoder.process(out.data(), count);
}

} // namespace

namespace Transcriber {

QList<Utterance> group(const QList<SpeechDecoder::Word> &words)
{
    QList<Utterance> utterances;
    Utterance current;
    double previousEnd = -10;
    for (const SpeechDecoder::Word &word : words) {
        if (word.start - previousEnd > 1.0 && !current.text.isEmpty()) {
            utterances.append(current);
            current = {};
        }
        if (current.text.isEmpty()) {
            current.offset = word.start;
            current.text = word.text;
        } else {
            current.text += u' ' + word.text;
        }
        previousEnd = word.start + word.duration;
    }
    if (!current.text.isEmpty())
        utterances.append(current);
    return utterances;
}

Outcome transcribe(const QString &path, const QLocale &locale)
{
    Outcome outcome;
    if (!SpeechModel::supports(locale)) {
        outcome.error = QStringLiteral("no speech recognizer for %1").arg(locale.name());
        return outcome;
    }
    const QString unavailable =
        QStringLiteral("on-device recognition is not available for %1; nothing was transcribed")
            .arg(locale.name());
    if (!SpeechModel::installed()) {
        outcome.error = unavailable;
        return outcome;
    }

    SF_INFO info {};
    std::unique_ptr<SNDFILE, FileCloser> file(
        sf_open(QFile::encodeName(path).constData(), SFM_READ, &info));
    if (!file) {
        outcome.error = QStringLiteral("could not read the audio file: %1")
                            .arg(QString::fromUtf8(sf_strerror(nullptr)));
        return outcome;
    }
    if (info.samplerate <= 0 || info.channels <= 0) {
        outcome.error = QStringLiteral("could not read the audio file: no audio in it");
        return outcome;
    }
    std::unique_ptr<SpeechDecoder> decoder = SpeechDecoder::create(nullptr);
    if (!decoder) {
        outcome.error = unavailable;
        return outcome;
    }

    std::unique_ptr<SRC_STATE, ResamplerDeleter> resampler;
    const double ratio = double(SpeechDecoder::sampleRate) / info.samplerate;
    if (info.samplerate != SpeechDecoder::sampleRate) {
        int error = 0;
        resampler.reset(src_new(SRC_SINC_FASTEST, 1, &error));
        if (!resampler) {
            outcome.error = QStringLiteral("could not convert the audio: %1")
                                .arg(QString::fromUtf8(src_strerror(error)));
            return outcome;
        }
    }

    std::vector<float> interleaved(size_t(chunkFrames) * size_t(info.channels));
    std::vector<float> mono(chunkFrames);
    std::vector<float> converted(size_t(chunkFrames * ratio) + 64);
    std::vector<int16_t> pcm;
    bool last = false;
    while (!last) {
        const sf_count_t read = sf_readf_float(file.get(), interleaved.data(), chunkFrames);
        last = read < chunkFrames;
        for (sf_count_t i = 0; i < read; ++i) {
            float sum = 0;
            for (int c = 0; c < info.channels; ++c)
                sum += interleaved[size_t(i * info.channels + c)];
            mono[size_t(i)] = sum / float(info.channels);
        }
        if (!resampler) {
            feed(*decoder, mono.data(), size_t(read), pcm);
            continue;
        }
        SRC_DATA data {};
        data.data_in = mono.data();
        data.input_frames = long(read);
        data.src_ratio = ratio;
        data.end_of_input = last;
        // The converter may hold samples back; it is drained until it gives nothing more.
        do {
            data.data_out = converted.data();
            data.output_frames = long(converted.size());
            if (int error = src_process(resampler.get(), &data)) {
                outcome.error = QStringLiteral("could not convert the audio: %1")
                                    .arg(QString::fromUtf8(src_strerror(error)));
                return outcome;
            }
            feed(*decoder, converted.data(), size_t(data.output_frames_gen), pcm);
            data.data_in += data.input_frames_used;
            data.input_frames -= data.input_frames_used;
        } while (data.input_frames > 0 || (last && data.output_frames_gen > 0));
    }
    decoder->finish();
    outcome.utterances = group(decoder->words());
    return outcome;
}

} // namespace Transcriber
