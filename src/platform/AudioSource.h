#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

// Layout of the PCM samples of an audio buffer. Samples are little-endian and interleaved.
struct AudioFormat
{
    enum class Sample { Int16, Int32, Float32 };

    Sample sample = Sample::Int16;
    int sampleRate = 0;
    int channels = 0;

    bool isValid() const { return sampleRate > 0 && channels > 0; }
    int bytesPerFrame() const { return channels * (sample == Sample::Int16 ? 2 : 4); }
    bool operator==(const AudioFormat &) const = default;
};

// One block of captured audio as the audio server delivered it.
struct AudioBuffer
{
    AudioFormat format;
    QByteArray data;
    qint64 frames = 0;
    double arrival = 0; // wall-clock seconds since 1970 at which the buffer arrived
};

// A live capture of one of the audio server's sources.
class AudioSource
{
public:
    enum class Device {
        SystemAudio, // what the default output plays (its monitor)
        Microphone, // the default input
    };
    enum class Layout {
        Native, // the device's own rate and channels
        Speech, // 16 000 Hz, one channel, 16-bit: what the speech decoder takes
    };
    enum class Availability { NoServer, NoSource, Ready };

    // Called on the source's own thread, once per buffer, in capture order.
    using Receiver = std::function<void(AudioBuffer)>;

    virtual ~AudioSource() = default;

    // Connects and starts capturing; a message when that failed.
    virtual std::optional<QString> start(Receiver receiver) = 0;
    // Ends the capture; no buffer is delivered after it returns. Safe to call more than once.
    virtual void stop() = 0;
    // The format of the delivered buffers; valid once start() succeeded.
    virtual AudioFormat format() const = 0;

    static std::unique_ptr<AudioSource> create(Device device, Layout layout);
    // Whether the audio server answers and has an input to record from.
    static Availability microphoneAvailability();
};
