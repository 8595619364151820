#include "platform/linux/pulse/PulseAudioSource.h"

#include <chrono>

namespace {

constexpr int speechRate = 16000;
// Buffers of a tenth of a second: few wake-ups while recording, and little audio lost to a stop.
constexpr pa_usec_t fragment = 100 * PA_USEC_PER_MSEC;

double wallNow()
{
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

pa_sample_format_t pulseSample(AudioFormat::Sample sample)
{
    switch (sample) {
    case AudioFormat::Sample::Int16:
        return PA_SAMPLE_S16LE;
    case AudioFormat::Sample::Int32:
        return PA_SAMPLE_S32LE;
    case AudioFormat::Sample::Float32:
        return PA_SAMPLE_FLOAT32LE;
    }
    return PA_SAMPLE_S16LE;
}

// The device's own sample type where we can store it as it is; anything else as float.
AudioFormat::Sample nativeSample(pa_sample_format_t format)
{
    switch (format) {
    case PA_SAMPLE_S16LE:
        return AudioFormat::Sample::Int16;
    case PA_SAMPLE_S32LE:
        return AudioFormat::Sample::Int32;
    default:
        return AudioFormat::Sample::Float32;
    }
}

} // namespace

PulseAudioSource::PulseAudioSource(Device device, Layout layout)
    : m_device(device)
    , m_layout(layout)
{ }

PulseAudioSource::~PulseAudioSource()
{
    stop();
}

const char *PulseAudioSource::deviceName() const
{
    return m_device == Device::SystemAudio ? "@DEFAULT_MONITOR@" : "@DEFAULT_SOURCE@";
}

std::optional<QString> PulseAudioSource::chooseFormat()
{
    if (m_layout == Layout::Speech) {
        m_format = {AudioFormat::Sample::Int16, speechRate, 1};
        return std::nullopt;
    }
    struct Query
    {
        PulseConnection *connection;
        std::optional<pa_sample_spec> spec;
    } query {m_connection.get(), std::nullopt};
    m_connection->lock();
    m_connection->await(pa_context_get_source_info_by_name(
        m_connection->context(), deviceName(),
        [](pa_context *, const pa_source_info *info, int, void *data) {
            auto *query = static_cast<Query *>(data);
            if (info)
                query->spec = info->sample_spec;
            query->connection->signal();
        },
        &query));
    m_connection->unlock();
    if (!query.spec)
        return QStringLiteral("the audio server has no %1")
            .arg(m_device == Device::SystemAudio ? QStringLiteral("output to record")
                                                 : QStringLiteral("input to record"));
    m_format = {nativeSample(query.spec->format), int(query.spec->rate), int(query.spec->channels)};
    return std::nullopt;
}

std::optional<QString> PulseAudioSource::start(Receiver receiver)
{
    stop();
    m_receiver = std::move(receiver);
    m_connection = std::make_unique<PulseConnection>("Velko AI");
    if (auto error = m_connection->connect()) {
        m_connection.reset();
        return error;
    }
    if (auto error = chooseFormat()) {
        m_connection.reset();
        return error;
    }

    const pa_sample_spec spec {pulseSample(m_format.sample), uint32_t(m_format.sampleRate),
                               uint8_t(m_format.channels)};
    pa_channel_map map;
    pa_channel_map_init_auto(&map, spec.channels, PA_CHANNEL_MAP_DEFAULT);
    const char *name = m_device == Device::SystemAudio ? "system audio" : "microphone";

    m_connection->lock();
    m_stream = pa_stream_new(m_connection->context(), name, &spec, &map);
    std::optional<QString> error;
    if (!m_stream) {
        error = m_connection->lastError();
    } else {
        pa_stream_set_state_callback(
            m_stream,
            [](pa_stream *, void *connection) {
                static_cast<PulseConnection *>(connection)->signal();
            },
            m_connection.get());
        pa_stream_set_read_callback(
            m_stream,
            [](pa_stream *stream, size_t, void *self) {
                static_cast<PulseAudioSource *>(self)->read(stream);
            },
            this);
        pa_buffer_attr attr;
        attr.maxlength = uint32_t(-1);
        attr.tlength = attr.prebuf = attr.minreq = uint32_t(-1);
        attr.fragsize = uint32_t(pa_usec_to_bytes(fragment, &spec));
        if (pa_stream_connect_record(m_stream, deviceName(), &attr, PA_STREAM_ADJUST_LATENCY) < 0) {
            error = m_connection->lastError();
        } else {
            for (;;) {
                const pa_stream_state_t state = pa_stream_get_state(m_stream);
                if (state == PA_STREAM_READY)
                    break;
                if (!PA_STREAM_IS_GOOD(state)) {
                    error = m_connection->lastError();
                    break;
                }
                m_connection->wait();
            }
        }
    }
    m_connection->unlock();
    if (error) {
        stop();
        return QStringLiteral("could not record the %1: %2").arg(QLatin1String(name), *error);
    }
    return std::nullopt;
}

void PulseAudioSource::stop()
{
    if (!m_connection)
        return;
    m_connection->lock();
    if (m_stream) {
        pa_stream_set_read_callback(m_stream, nullptr, nullptr);
        pa_stream_set_state_callback(m_stream, nullptr, nullptr);
        pa_stream_disconnect(m_stream);
        pa_stream_unref(m_stream);
        m_stream = nullptr;
    }
    m_connection->unlock();
    m_connection.reset();
    m_receiver = nullptr;
}

void PulseAudioSource::read(pa_stream *stream)
{
    const int frameBytes = m_format.bytesPerFrame();
    while (pa_stream_readable_size(stream) > 0) {
        const void *data = nullptr;
        size_t size = 0;
        if (pa_stream_peek(stream, &data, &size) < 0 || size == 0)
            return;
        AudioBuffer buffer;
        buffer.format = m_format;
        buffer.arrival = wallNow();
        // A hole in the stream is kept as silence, so later speech keeps its place in time.
        buffer.data = data ? QByteArray(static_cast<const char *>(data), qsizetype(size))
                           : QByteArray(qsizetype(size), '\0');
        buffer.frames = qint64(size) / frameBytes;
        buffer.data.truncate(buffer.frames * frameBytes);
        pa_stream_drop(stream);
        if (buffer.frames > 0 && m_receiver)
            m_receiver(std::move(buffer));
    }
}

std::unique_ptr<AudioSource> AudioSource::create(Device device, Layout layout)
{
    return std::make_unique<PulseAudioSource>(device, layout);
}

AudioSource::Availability AudioSource::microphoneAvailability()
{
    PulseConnection connection("Velko AI");
    if (connection.connect())
        return Availability::NoServer;
    struct Query
    {
        PulseConnection *connection;
        bool usable = false;
    } query {&connection};
    connection.lock();
    // A monitor only repeats what the speakers play: it is no microphone.
    connection.await(pa_context_get_source_info_by_name(
        connection.context(), "@DEFAULT_SOURCE@",
        [](pa_context *, const pa_source_info *info, int, void *data) {
            auto *query = static_cast<Query *>(data);
            if (info && info->monitor_of_sink == PA_INVALID_INDEX)
                query->usable = true;
            query->connection->signal();
        },
        &query));
    connection.unlock();
    return query.usable ? Availability::Ready : Availability::NoSource;
}
