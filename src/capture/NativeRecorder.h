#pragma once

#include "capture/ActivitySampler.h"
#include "capture/AudioSink.h"
#include "capture/FrameFilter.h"
#include "capture/TextRecognizer.h"
#include "core/SerialQueue.h"
#include "platform/AudioSource.h"
#include "platform/ScreenSource.h"

#include <QJsonObject>
#include <QRect>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

// One recording, from the control socket's "start" to its "stop": changed frames of one monitor
// as JPEG files, and every fact as an event line through `emit`.
class NativeRecorder
{
public:
    struct Options
    {
        QString framesDir;
        QString audioDir;
        int display = 1; // 1-based, as requested; clamped only when the monitor is chosen
        bool audio = true;
        bool microphone = true;
        bool screen = true;
    };
    using Emit = std::function<void(const QJsonObject &line)>;
    using SourceFactory = std::function<std::unique_ptr<ScreenSource>()>;
    using AudioFactory =
        std::function<std::unique_ptr<AudioSource>(AudioSource::Device, AudioSource::Layout)>;
    // Clicks and application state of the desktop being recorded (liveActivity); without a
    // factory the recording has frames only, as for a source that is not the live desktop.
    using ActivityFactory = std::function<std::unique_ptr<ActivitySampler>(
        SerialQueue &stateQueue, ActivitySampler::Hooks hooks)>;
    static std::unique_ptr<ActivitySampler> liveActivity(SerialQueue &stateQueue,
                                                         ActivitySampler::Hooks hooks);

    static constexpr int maxStoredSide = 1600;
    static constexpr int jpegQuality = 60;

    NativeRecorder(Options opts, Emit sendLine, SourceFactory sources = &ScreenSource::create,
                   AudioFactory audioSources = &AudioSource::create, ActivityFactory activity = {});
    ~NativeRecorder();

    NativeRecorder(const NativeRecorder &) = delete;
    NativeRecorder &operator=(const NativeRecorder &) = delete;

    // Throws DomainError: "VelkoPermission" 1 when the screen cannot be captured, "Velko" 1 when
    // there is no monitor, "POSIX" for a directory that cannot be created.
    void start();
    // Called once, after a successful start. Returns the recording summary.
    QJsonObject stop();

    const Options &options() const { return m_opts; }
    double started() const { return m_started; }
    int frameCount() const { return m_frameCount; }
    int clickCount() const { return m_clickCount; }
    int stateCount() const { return m_stateCount; }

    // Sends one event line; callable from any thread.
    void emitLine(const QJsonObject &line) const { m_emit(line); }
    // Keeps the next screen sample whatever it shows. Callable from any thread.
    void forceNext();

    SerialQueue &frameQueue() { return m_frameQueue; }
    SerialQueue &audioQueue() { return m_audioQueue; }
    SerialQueue &stateQueue() { return m_stateQueue; }

    // Wall-clock seconds since 1970, the time of every event line.
    static double now();

private:
    void startRedaction();
    void startPacing();
    void stopPacing();
    void pace();
    void onSample();
    void writeFrame(QImage &image);
    ActivitySampler::Hooks activityHooks(const QList<ScreenSource::Monitor> &monitors);
    void coverSecureField(QImage &image) const;
    void streamFailed(const QString &description);
    std::optional<QString> startAudio(AudioSource::Device device, const QString &fileName,
                                      std::unique_ptr<AudioSource> &source,
                                      std::unique_ptr<AudioSink> &sink);
    void stopAudio();
    void transcribeAudio(QJsonObject &summary);

    const Options m_opts;
    const Emit m_emit;
    SourceFactory m_sources;
    AudioFactory m_audioSources;
    ActivityFactory m_activities;
    std::unique_ptr<ScreenSource> m_source;
    QRect m_monitor;
    double m_started;
    std::atomic<int> m_frameCount = 0;
    std::atomic<int> m_clickCount = 0;
    std::atomic<int> m_stateCount = 0;
    std::optional<QString> m_lastError; // set on the frames queue, read after it was drained
    FrameFilter m_filter;
    std::unique_ptr<TextRecognizer> m_text; // frames queue only
    // Clicks and application state; set before the frames start, read on the frames queue.
    std::unique_ptr<ActivitySampler> m_activity;

    // A sample is in hand (queued, hashed or being written): further ticks are dropped.
    std::atomic<bool> m_busy = false;
    std::atomic<bool> m_failed = false;
    // A flag, not a wait on the state queue: a sample never stalls behind an accessibility query.
    std::atomic<bool> m_forceNext = false;

    std::mutex m_paceMutex;
    std::condition_variable m_paceWake;
    bool m_paceStop = false;
    std::thread m_pacer;

    // Buffers travel from the sources through the audio queue into the sinks.
    std::unique_ptr<AudioSink> m_systemAudio;
    std::unique_ptr<AudioSink> m_mic;
    std::unique_ptr<AudioSource> m_systemAudioSource;
    std::unique_ptr<AudioSource> m_micSource;

    // Last, so they finish their queued work before anything above goes away.
    SerialQueue m_frameQueue {"velko.capture.frames"};
    SerialQueue m_audioQueue {"velko.capture.audio"};
    SerialQueue m_stateQueue {"velko.capture.state"};
};
