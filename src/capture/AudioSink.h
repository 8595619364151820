#pragma once

#include "core/SerialQueue.h"
#include "platform/AudioSource.h"

#include <QString>

#include <mutex>
#include <optional>

typedef struct sf_private_tag SNDFILE;

// Writes one recorded audio stream into a Core Audio Format file ("system.caf", "mic.caf") and
// remembers when its first sample was heard, so that transcribed speech can be placed on the
// recording's time line. The file is made on the first usable buffer: no audio, no file.
class AudioSink
{
public:
    explicit AudioSink(QString path);
    ~AudioSink();

    AudioSink(const AudioSink &) = delete;
    AudioSink &operator=(const AudioSink &) = delete;

    const QString &path() const { return m_path; }
    std::optional<double> firstSampleWallTime() const;
    qint64 frames() const;

    // Called on the recorder's audio queue; the file work runs on the sink's own queue. A buffer
    // that cannot be understood or written is dropped.
    void append(const AudioBuffer &buffer);
    // Finishes and closes the file; buffers that come later are dropped.
    void close();

private:
    void write(const AudioBuffer &buffer);

    const QString m_path;
    SerialQueue m_queue {"velko.audio.sink"};
    // Touched only on m_queue.
    SNDFILE *m_file = nullptr;
    int m_fd = -1;
    bool m_closed = false;
    AudioFormat m_fileFormat;
    mutable std::mutex m_mutex;
    std::optional<double> m_firstSampleWallTime;
    qint64 m_frames = 0;
};
