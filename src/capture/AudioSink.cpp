#include "capture/AudioSink.h"

#include <QFile>

#include <fcntl.h>
#include <sndfile.h>
#include <unistd.h>

namespace {

int sndfileFormat(AudioFormat::Sample sample)
{
    switch (sample) {
    case AudioFormat::Sample::Int16:
        return SF_FORMAT_CAF | SF_FORMAT_PCM_16;
    case AudioFormat::Sample::Int32:
        return SF_FORMAT_CAF | SF_FORMAT_PCM_32;
    case AudioFormat::Sample::Float32:
        return SF_FORMAT_CAF | SF_FORMAT_FLOAT;
    }
    return 0;
}

} // namespace

AudioSink::AudioSink(QString path)
    : m_path(std::move(path))
{ }

AudioSink::~AudioSink()
{
    close();
}

std::optional<double> AudioSink::firstSampleWallTime() const
{
    std::lock_guard lock(m_mutex);
    return m_firstSampleWallTime;
}

qint64 AudioSink::frames() const
{
    std::lock_guard lock(m_mutex);
    return m_frames;
}

void AudioSink::append(const AudioBuffer &buffer)
{
    if (!buffer.format.isValid() || buffer.frames <= 0 ||
        buffer.data.size() != buffer.frames * buffer.format.bytesPerFrame())
        return;
    m_queue.sync([&] { write(buffer); });
}

void AudioSink::write(const AudioBuffer &buffer)
{
    // One file holds one format; a stream that changes format mid-way keeps its first. A closed
    // sink stays closed rather than start the file anew.
    if (m_closed || (m_file && buffer.format != m_fileFormat))
        return;
    if (!m_file) {
        SF_INFO info {};
        info.samplerate = buffer.format.sampleRate;
        info.channels = buffer.format.channels;
        info.format = sndfileFormat(buffer.format.sample);
        // Narration is private: the file is the owner's only, from its first byte.
        const int fd = ::open(QFile::encodeName(m_path).constData(),
                              O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0)
            return;
        m_file = sf_open_fd(fd, SFM_WRITE, &info, SF_FALSE);
        if (!m_file) {
            ::close(fd);
            QFile::remove(m_path);
            return;
        }
        m_fd = fd;
        m_fileFormat = buffer.format;
        std::lock_guard lock(m_mutex);
        m_firstSampleWallTime =
            buffer.arrival - double(buffer.frames) / double(buffer.format.sampleRate);
    }
    sf_count_t written = 0;
    switch (buffer.format.sample) {
    case AudioFormat::Sample::Int16:
        written = sf_writef_short(m_file, reinterpret_cast<const short *>(buffer.data.constData()),
                                  buffer.frames);
        break;
    case AudioFormat::Sample::Int32:
        written = sf_writef_int(m_file, reinterpret_cast<const int *>(buffer.data.constData()),
                                buffer.frames);
        break;
    case AudioFormat::Sample::Float32:
        written = sf_writef_float(m_file, reinterpret_cast<const float *>(buffer.data.constData()),
                                  buffer.frames);
        break;
    }
    if (written <= 0)
        return;
    std::lock_guard lock(m_mutex);
    m_frames += written;
}

void AudioSink::close()
{
    m_queue.sync([this] {
        m_closed = true;
        if (m_file) {
            sf_close(m_file);
            ::close(m_fd);
            m_file = nullptr;
        }
    });
}
