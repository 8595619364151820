#include "platform/AudioSource.h"

#include <QProcess>
#include <QTest>

#include <cmath>
#include <mutex>

Q_DECLARE_METATYPE(AudioSource::Device)
Q_DECLARE_METATYPE(AudioSource::Layout)

namespace {

// The source format as the audio server lists it ("s16le 2ch 44100Hz").
QString listedFormat(const QString &source)
{
    QProcess pactl;
    pactl.start("pactl", {"list", "short", "sources"});
    pactl.waitForFinished(5000);
    for (const QString &line : QString::fromUtf8(pactl.readAllStandardOutput()).split('\n')) {
        const QStringList fields = line.split('\t');
        if (fields.size() > 3 && fields[1] == source)
            return fields[3];
    }
    return {};
}

QString describe(const AudioFormat &format)
{
    const char *sample = format.sample == AudioFormat::Sample::Int16 ? "s16le"
        : format.sample == AudioFormat::Sample::Int32                ? "s32le"
                                                                     : "float32le";
    return QStringLiteral("%1 %2ch %3Hz").arg(sample).arg(format.channels).arg(format.sampleRate);
}

double rms(const QList<AudioBuffer> &buffers)
{
    double sum = 0;
    qint64 count = 0;
    for (const AudioBuffer &buffer : buffers) {
        const qint64 samples = buffer.frames * buffer.format.channels;
        for (qint64 i = 0; i < samples; ++i) {
            double v = 0;
            if (buffer.format.sample == AudioFormat::Sample::Int16)
                v = reinterpret_cast<const int16_t *>(buffer.data.constData())[i] / 32768.0;
            else if (buffer.format.sample == AudioFormat::Sample::Int32)
                v = reinterpret_cast<const int32_t *>(buffer.data.constData())[i] / 2147483648.0;
            else
                v = reinterpret_cast<const float *>(buffer.data.constData())[i];
            sum += v * v;
        }
        count += samples;
    }
    return count ? std::sqrt(sum / double(count)) : 0;
}

} // namespace

class TstPulseAudio : public QObject
{
    Q_OBJECT

private slots:
    void capture_data()
    {
        QTest::addColumn<AudioSource::Device>("device");
        QTest::addColumn<AudioSource::Layout>("layout");
        QTest::addColumn<QString>("playInto");
        QTest::addColumn<QString>("format");

        QTest::newRow("system audio for speech")
            << AudioSource::Device::SystemAudio << AudioSource::Layout::Speech << "velko_null"
            << "s16le 1ch 16000Hz";
        QTest::newRow("microphone as it comes")
            << AudioSource::Device::Microphone << AudioSource::Layout::Native << "velko_mic_feed"
            << listedFormat("velko_mic");
        QTest::newRow("microphone for speech")
            << AudioSource::Device::Microphone << AudioSource::Layout::Speech << "velko_mic_feed"
            << "s16le 1ch 16000Hz";
    }

    void capture()
    {
        QFETCH(AudioSource::Device, device);
        QFETCH(AudioSource::Layout, layout);
        QFETCH(QString, playInto);
        QFETCH(QString, format);

        std::mutex mutex;
        QList<AudioBuffer> buffers;
        auto source = AudioSource::create(device, layout);
        const auto error = source->start([&](AudioBuffer buffer) {
            std::lock_guard lock(mutex);
            buffers.append(std::move(buffer));
        });
        QVERIFY2(!error, qPrintable(error.value_or(QString())));
        QCOMPARE(describe(source->format()), format);

        QProcess player;
        player.start("paplay", {"--device=" + playInto, VELKO_FIXTURES_DIR "/sentence-01.wav"});
        QVERIFY(player.waitForFinished(15000));
        QCOMPARE(player.exitCode(), 0);
        QTest::qWait(300);
        source->stop();

        std::unique_lock lock(mutex);
        const qsizetype delivered = buffers.size();
        qint64 frames = 0;
        double lastArrival = 0;
        for (const AudioBuffer &buffer : buffers) {
            QCOMPARE(buffer.format, source->format());
            QCOMPARE(buffer.data.size(), buffer.frames * buffer.format.bytesPerFrame());
            QVERIFY(buffer.arrival >= lastArrival);
            lastArrival = buffer.arrival;
            frames += buffer.frames;
        }
        // The sentence lasts 2.4 s; it was heard, not just silence.
        QVERIFY2(frames >= 2.4 * source->format().sampleRate, qPrintable(QString::number(frames)));
        QVERIFY2(rms(buffers) > 0.01, qPrintable(QString::number(rms(buffers))));
        QVERIFY(std::abs(lastArrival - QDateTime::currentMSecsSinceEpoch() / 1000.0) < 2);

        // Nothing arrives after stop().
        lock.unlock();
        QTest::qWait(300);
        lock.lock();
        QCOMPARE(buffers.size(), delivered);
    }

    void availability()
    {
        QCOMPARE(AudioSource::microphoneAvailability(), AudioSource::Availability::Ready);
    }

    void noServer()
    {
        const QByteArray server = qgetenv("PULSE_SERVER");
        qputenv("PULSE_SERVER", "unix:/nonexistent/pulse.sock");
        const auto availability = AudioSource::microphoneAvailability();
        auto source =
            AudioSource::create(AudioSource::Device::SystemAudio, AudioSource::Layout::Speech);
        const auto error = source->start([](AudioBuffer) {});
        qputenv("PULSE_SERVER", server);

        QCOMPARE(availability, AudioSource::Availability::NoServer);
        QVERIFY(error);
        QVERIFY2(error->startsWith("could not connect to the audio server: "), qPrintable(*error));
    }
};

QTEST_GUILESS_MAIN(TstPulseAudio)
#include "tst_pulseaudio.moc"
