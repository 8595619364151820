#include "capture/AudioSink.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sndfile.h>

#include <cstring>

#include <sys/stat.h>
#include <vector>

namespace {

// A buffer whose samples count up, so that a read-back shows order and values.
AudioBuffer makeBuffer(AudioFormat format, qint64 frames, double arrival, int first = 0)
{
    AudioBuffer buffer;
    buffer.format = format;
    buffer.frames = frames;
    buffer.arrival = arrival;
    buffer.data.resize(frames * format.bytesPerFrame());
    const qint64 samples = frames * format.channels;
    for (qint64 i = 0; i < samples; ++i) {
        const int value = (first + int(i)) % 30000;
        char *at = buffer.data.data() + i * (format.bytesPerFrame() / format.channels);
        switch (format.sample) {
        case AudioFormat::Sample::Int16: {
            const int16_t v = int16_t(value);
            std::memcpy(at, &v, sizeof v);
            break;
        }
        case AudioFormat::Sample::Int32: {
            const int32_t v = value << 16;
            std::memcpy(at, &v, sizeof v);
            break;
        }
        case AudioFormat::Sample::Float32: {
            const float v = float(value) / 32768.0f;
            std::memcpy(at, &v, sizeof v);
            break;
        }
        }
    }
    return buffer;
}

const AudioFormat speech {AudioFormat::Sample::Int16, 16000, 1};

} // namespace

class TstAudioSink : public QObject
{
    Q_OBJECT

private slots:
    void firstSampleTime()
    {
        QTemporaryDir dir;
        AudioSink sink(dir.filePath("system.caf"));
        QVERIFY(!sink.firstSampleWallTime());
        const double t = 1'700'000'000.25;
        sink.append(makeBuffer(speech, 1600, t));
        QVERIFY(sink.firstSampleWallTime());
        QCOMPARE(*sink.firstSampleWallTime(), t - 0.1);
        // Later buffers extend the file but never move its start.
        sink.append(makeBuffer(speech, 800, t + 5));
        QCOMPARE(*sink.firstSampleWallTime(), t - 0.1);
        QCOMPARE(sink.frames(), 2400);
    }

    void roundTrip_data()
    {
        QTest::addColumn<AudioFormat>("format");
        QTest::addColumn<int>("subtype");

        QTest::newRow("16 kHz mono 16-bit") << speech << int(SF_FORMAT_PCM_16);
        QTest::newRow("48 kHz stereo 32-bit")
            << AudioFormat {AudioFormat::Sample::Int32, 48000, 2} << int(SF_FORMAT_PCM_32);
        QTest::newRow("44.1 kHz stereo float")
            << AudioFormat {AudioFormat::Sample::Float32, 44100, 2} << int(SF_FORMAT_FLOAT);
    }

    void roundTrip()
    {
        QFETCH(AudioFormat, format);
        QFETCH(int, subtype);
        QTemporaryDir dir;
        const QString path = dir.filePath("mic.caf");
        {
            AudioSink sink(path);
            sink.append(makeBuffer(format, 1000, 10.0));
            sink.append(makeBuffer(format, 500, 10.1, 1000 * format.channels));
            sink.close();
        }
        struct stat status
        {
        };
        QCOMPARE(::stat(path.toUtf8().constData(), &status), 0);
        QCOMPARE(status.st_mode & 0777, 0600u);

        SF_INFO info {};
        SNDFILE *file = sf_open(path.toUtf8().constData(), SFM_READ, &info);
        QVERIFY(file);
        QCOMPARE(info.format & SF_FORMAT_TYPEMASK, SF_FORMAT_CAF);
        QCOMPARE(info.format & SF_FORMAT_SUBMASK, subtype);
        QCOMPARE(info.samplerate, format.sampleRate);
        QCOMPARE(info.channels, format.channels);
        QCOMPARE(info.frames, 1500);
        const AudioBuffer expected = makeBuffer(format, 1500, 0);
        QByteArray got(expected.data.size(), '\0');
        sf_count_t read = 0;
        if (format.sample == AudioFormat::Sample::Int16)
            read = sf_readf_short(file, reinterpret_cast<short *>(got.data()), 1500);
        else if (format.sample == AudioFormat::Sample::Int32)
            read = sf_readf_int(file, reinterpret_cast<int *>(got.data()), 1500);
        else
            read = sf_readf_float(file, reinterpret_cast<float *>(got.data()), 1500);
        sf_close(file);
        QCOMPARE(read, 1500);
        QVERIFY(got == expected.data);
    }

    // Buffers that cannot be understood leave no file behind.
    void unusableBuffers_data()
    {
        QTest::addColumn<AudioBuffer>("buffer");

        QTest::newRow("no frames") << makeBuffer(speech, 0, 1);
        QTest::newRow("no sample rate") << makeBuffer({AudioFormat::Sample::Int16, 0, 1}, 100, 1);
        QTest::newRow("no channels")
            << AudioBuffer {{AudioFormat::Sample::Int16, 16000, 0}, QByteArray(200, 0), 100, 1};
        AudioBuffer short_ = makeBuffer(speech, 100, 1);
        short_.data.chop(3);
        QTest::newRow("data shorter than its frames") << short_;
    }

    void unusableBuffers()
    {
        QFETCH(AudioBuffer, buffer);
        QTemporaryDir dir;
        AudioSink sink(dir.filePath("system.caf"));
        sink.append(buffer);
        sink.close();
        QVERIFY(!QFile::exists(sink.path()));
        QVERIFY(!sink.firstSampleWallTime());
        QCOMPARE(sink.frames(), 0);
    }

    void noBufferNoFile()
    {
        QTemporaryDir dir;
        {
            AudioSink sink(dir.filePath("mic.caf"));
            sink.close();
        }
        QVERIFY(!QFile::exists(dir.filePath("mic.caf")));
    }

    // A file that cannot be made is tried again with the next buffer, whose arrival then
    // dates the file.
    void creationRetried()
    {
        QTemporaryDir dir;
        AudioSink sink(dir.filePath("later/system.caf"));
        sink.append(makeBuffer(speech, 1600, 100.0));
        QVERIFY(!sink.firstSampleWallTime());
        QVERIFY(QDir(dir.path()).mkdir("later"));
        sink.append(makeBuffer(speech, 1600, 200.0));
        QCOMPARE(*sink.firstSampleWallTime(), 199.9);
        QCOMPARE(sink.frames(), 1600);
    }

    void nothingAfterCloseOrFormatChange()
    {
        QTemporaryDir dir;
        AudioSink sink(dir.filePath("mic.caf"));
        sink.append(makeBuffer(speech, 1600, 1.0));
        sink.append(makeBuffer({AudioFormat::Sample::Float32, 48000, 2}, 480, 1.1));
        QCOMPARE(sink.frames(), 1600);
        sink.close();
        sink.append(makeBuffer(speech, 1600, 2.0));
        QCOMPARE(sink.frames(), 1600);
        QCOMPARE(*sink.firstSampleWallTime(), 0.9);
        SF_INFO info {};
        SNDFILE *file = sf_open(sink.path().toUtf8().constData(), SFM_READ, &info);
        QVERIFY(file);
        sf_close(file);
        QCOMPARE(info.frames, 1600);
    }
};

QTEST_GUILESS_MAIN(TstAudioSink)
#include "tst_audiosink.moc"
