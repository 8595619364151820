#include "capture/NativeRecorder.h"

#include "capture/FrameRedactor.h"
#include "capture/Jpeg.h"
#include "capture/Transcriber.h"
#include "core/DomainError.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QLocale>
#include <QPainter>
#include <QSaveFile>

#include <chrono>
#include <utility>

#include <cerrno>
#include <pthread.h>
#include <sys/stat.h>

namespace {

using namespace std::chrono_literals;

// At most four screen samples a second.
constexpr auto sampleInterval = 250ms;

// Creates `path` and its missing parents owner-only. Returns 0 or the errno of the failure.
int makeDirectories(const QString &path)
{
    const QString absolute = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    QString current;
    for (const QString &part : absolute.split('/', Qt::SkipEmptyParts)) {
        current += '/' + part;
        const QByteArray native = QFile::encodeName(current);
        if (::mkdir(native.constData(), 0700) == 0 || errno == EEXIST)
            continue;
        return errno;
    }
    struct stat info
    {
    };
    if (::stat(QFile::encodeName(absolute).constData(), &info) != 0)
        return errno;
    return S_ISDIR(info.st_mode) ? 0 : ENOTDIR;
}

void ensureDirectory(const QString &path)
{
    if (const int error = makeDirectories(path))
        throw DomainError::posix(QStringLiteral("could not create %1").arg(path), error);
}

// X leaves the fourth byte of a pixel at 0; encoders and scalers want it opaque.
void makeOpaque(QImage &image)
{
    for (int y = 0; y < image.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x)
            line[x] |= 0xff000000;
    }
}

QImage scaledForStorage(const QImage &image, int maxSide)
{
    const int longer = std::max(image.width(), image.height());
    if (longer <= maxSide)
        return image;
    const double factor = double(maxSide) / longer;
    return image.scaled(qRound(image.width() * factor), qRound(image.height() * factor),
                        Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

} // namespace

NativeRecorder::NativeRecorder(Options opts, Emit sendLine, SourceFactory sources,
                               AudioFactory audioSources, ActivityFactory activity)
    : m_opts(std::move(opts))
    , m_emit(std::move(sendLine))
    , m_sources(std::move(sources))
    , m_audioSources(std::move(audioSources))
    , m_activities(std::move(activity))
    , m_started(now())
{ }

NativeRecorder::~NativeRecorder()
{
    stopPacing();
    stopAudio();
    // The sampler waits for the state queue's work, which needs the queues still alive.
    m_frameQueue.drain();
    m_activity.reset();
}

std::unique_ptr<ActivitySampler> NativeRecorder::liveActivity(SerialQueue &stateQueue,
                                                              ActivitySampler::Hooks hooks)
{
    return std::make_unique<ActivitySampler>(stateQueue, std::move(hooks));
}

double NativeRecorder::now()
{
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

void NativeRecorder::start()
{
    if (m_opts.screen)
        ensureDirectory(m_opts.framesDir);
    ensureDirectory(m_opts.audioDir);
    m_started = now();

    // Checked even without frames: system audio is part of the same permission.
    m_source = m_sources();
    if (!m_source || !m_source->accessible())
        throw DomainError(
            QStringLiteral("VelkoPermission"), 1,
            QStringLiteral("Screen Recording is not allowed for this copy of Velko AI"));
    const QList<ScreenSource::Monitor> monitors = m_source->monitors();
    if (monitors.isEmpty())
        throw DomainError(QStringLiteral("Velko"), 1, QStringLiteral("no display to record"));
    const qsizetype chosen = std::min<qsizetype>(monitors.size(), std::max(m_opts.display, 1));
    m_monitor = monitors[chosen - 1].rect;

    if (m_opts.screen) {
        // Starting the capture: a first grab proves the monitor can be read.
        bool grabbed = false;
        m_frameQueue.sync([&] { grabbed = !m_source->grab(m_monitor).isNull(); });
        if (!grabbed)
            throw DomainError(
                QStringLiteral("Velko"), 2,
                m_source->failure().value_or(QStringLiteral("could not grab the screen")));
        if (m_activities)
            m_activity = m_activities(m_stateQueue, activityHooks(monitors));
    }

    // An audio server that cannot record costs the narration, not the recording.
    QStringList audioWarnings;
    if (m_opts.audio) {
        if (auto error = startAudio(AudioSource::Device::SystemAudio, QStringLiteral("system.caf"),
                                    m_systemAudioSource, m_systemAudio))
            audioWarnings.append(*error + QStringLiteral(" — system audio will be missing"));
    }
    if (m_opts.microphone) {
        if (auto error = startAudio(AudioSource::Device::Microphone, QStringLiteral("mic.caf"),
                                    m_micSource, m_mic))
            audioWarnings.append(*error + QStringLiteral(" — the microphone will be missing"));
    }

    emitLine({{"type", "started"},
              {"t", m_started},
              {"display", m_opts.display},
              {"audio", m_opts.audio},
              {"microphone", m_opts.microphone},
              {"screen", m_opts.screen}});
    for (const QString &warning : audioWarnings)
        emitLine({{"type", "warning"}, {"t", now()}, {"warning", warning}});
    if (m_opts.screen) {
        startRedaction();
        startPacing();
        if (m_activity)
            m_activity->start();
    }
}

QJsonObject NativeRecorder::stop()
{
    if (m_activity)
        m_activity->stop();
    stopPacing();
    stopAudio();
    m_frameQueue.drain();
    m_audioQueue.drain();
    if (m_systemAudio)
        m_systemAudio->close();
    if (m_mic)
        m_mic->close();

    QJsonObject summary {{"frames", m_frameCount.load()},
                         {"clicks", m_clickCount.load()},
                         {"states", m_stateCount.load()},
                         {"audio_enabled", m_opts.audio || m_opts.microphone}};
    transcribeAudio(summary);
    if (m_lastError)
        summary.insert("error", *m_lastError);
    return summary;
}

std::optional<QString> NativeRecorder::startAudio(AudioSource::Device device,
                                                  const QString &fileName,
                                                  std::unique_ptr<AudioSource> &source,
                                                  std::unique_ptr<AudioSink> &sink)
{
    // System audio comes at the speech decoder's own rate; the microphone as the device gives it.
    const AudioSource::Layout layout = device == AudioSource::Device::SystemAudio
        ? AudioSource::Layout::Speech
        : AudioSource::Layout::Native;
    sink = std::make_unique<AudioSink>(
        QDir(QFileInfo(m_opts.audioDir).absoluteFilePath()).filePath(fileName));
    source = m_audioSources(device, layout);
    AudioSink *target = sink.get();
    std::optional<QString> error = source->start([this, target](AudioBuffer buffer) {
        m_audioQueue.async([target, buffer = std::move(buffer)] { target->append(buffer); });
    });
    if (error)
        source.reset();
    return error;
}

void NativeRecorder::stopAudio()
{
    if (m_systemAudioSource)
        m_systemAudioSource->stop();
    if (m_micSource)
        m_micSource->stop();
}

void NativeRecorder::transcribeAudio(QJsonObject &summary)
{
    int speech = 0;
    QJsonValue engine = QJsonValue::Null;
    QJsonArray errors;
    bool allLocal = true;
    const std::pair<AudioSink *, QString> sinks[] = {
        {m_mic.get(), QStringLiteral("mic")}, {m_systemAudio.get(), QStringLiteral("system")}};
    for (const auto &[sink, source] : sinks) {
        if (!sink)
            continue;
        const std::optional<double> firstSample = sink->firstSampleWallTime();
        if (!firstSample || !QFileInfo::exists(sink->path()))
            continue;
        const Transcriber::Outcome outcome = Transcriber::transcribe(sink->path(), QLocale());
        if (engine.isNull())
            engine = outcome.engine;
        if (outcome.error)
            errors.append(source + QStringLiteral(": ") + *outcome.error);
        for (const Transcriber::Utterance &utterance : outcome.utterances) {
            emitLine({{"type", "speech"},
                      {"t", *firstSample + utterance.offset},
                      {"text", utterance.text},
                      {"source", source}});
            ++speech;
        }
        QFile::remove(sink->path());
        allLocal = allLocal && outcome.onDevice;
    }
    summary.insert("speech", speech);
    summary.insert("audio_engine", engine);
    summary.insert("transcription_local", allLocal);
    if (!errors.isEmpty())
        summary.insert("speech_errors", errors);
}

void NativeRecorder::forceNext()
{
    m_forceNext = true;
}

void NativeRecorder::startRedaction()
{
    // First on the frames queue, so the engine is there for the first kept frame.
    m_frameQueue.async([this] {
        m_text = std::make_unique<TextRecognizer>();
        // Without the engine every frame would be stored with its secrets in plain sight: say so.
        if (!m_text->ready())
            emitLine(
                {{"type", "warning"},
                 {"t", now()},
                 {"warning", "secret redaction is unavailable — frames are stored unredacted"}});
    });
}

void NativeRecorder::startPacing()
{
    m_pacer = std::thread([this] { pace(); });
}

void NativeRecorder::stopPacing()
{
    {
        std::lock_guard lock(m_paceMutex);
        m_paceStop = true;
    }
    m_paceWake.notify_all();
    if (m_pacer.joinable())
        m_pacer.join();
}

void NativeRecorder::pace()
{
    pthread_setname_np(pthread_self(), "velko.frametick");
    auto next = std::chrono::steady_clock::now();
    std::unique_lock lock(m_paceMutex);
    while (!m_paceStop && !m_failed) {
        if (!m_busy.exchange(true))
            m_frameQueue.async([this] {
                onSample();
                m_busy = false;
            });
        next += sampleInterval;
        const auto current = std::chrono::steady_clock::now();
        if (next < current)
            next = current + sampleInterval;
        m_paceWake.wait_until(lock, next, [this] { return m_paceStop; });
    }
}

void NativeRecorder::onSample()
{
    QImage image = m_source->grab(m_monitor);
    if (image.isNull()) {
        if (const std::optional<QString> failure = m_source->failure())
            streamFailed(*failure);
        return;
    }
    coverSecureField(image);
    if (m_filter.keep(FrameFilter::dHash(image), m_forceNext.exchange(false)))
        writeFrame(image);
}

ActivitySampler::Hooks NativeRecorder::activityHooks(const QList<ScreenSource::Monitor> &monitors)
{
    ActivitySampler::Hooks hooks;
    hooks.emitLine = m_emit;
    hooks.forceNext = [this] {
        forceNext();
    };
    // The monitors as the recording started; clicks and pointer positions are numbered and
    // placed against them.
    hooks.displayIndex = [monitors](QPoint point) -> std::optional<int> {
        for (qsizetype i = 0; i < monitors.size(); ++i) {
            if (monitors[i].rect.contains(point))
                return int(i + 1);
        }
        return std::nullopt;
    };
    const QPoint origin = monitors.first().rect.topLeft();
    hooks.toGlobal = [origin](QPoint point) {
        return point - origin;
    };
    hooks.clickReported = [this] {
        ++m_clickCount;
    };
    hooks.stateReported = [this] {
        ++m_stateCount;
    };
    return hooks;
}

// A focused password field is covered before the frame is hashed or stored: what is typed there
// never reaches a recording, whatever the field shows.
void NativeRecorder::coverSecureField(QImage &image) const
{
    if (!m_activity)
        return;
    const std::optional<QRect> field = m_activity->secureFrame();
    if (!field)
        return;
    const QRect area = field->intersected(m_monitor).translated(-m_monitor.topLeft());
    if (area.isEmpty())
        return;
    QPainter painter(&image);
    painter.fillRect(area, QColor::fromRgbF(0.45f, 0.45f, 0.45f));
}

void NativeRecorder::writeFrame(QImage &image)
{
    const double t = now();
    const QString path = QDir(QFileInfo(m_opts.framesDir).absoluteFilePath())
                             .filePath(QString::number(qint64(t * 1000)) + ".jpg");
    makeOpaque(image);
    QImage stored = scaledForStorage(image, maxStoredSide);
    if (m_text && m_text->ready())
        stored = FrameRedactor::redacted(stored, *m_text);
    const QByteArray jpeg = Jpeg::encode(stored, jpegQuality);
    if (jpeg.isEmpty())
        return;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return;
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (file.write(jpeg) != jpeg.size() || !file.commit())
        return;
    ++m_frameCount;
    emitLine({{"type", "frame"}, {"t", t}, {"path", path}});
}

void NativeRecorder::streamFailed(const QString &description)
{
    if (m_failed.exchange(true))
        return;
    m_lastError = description;
    emitLine({{"type", "error"}, {"t", now()}, {"error", description}});
}
