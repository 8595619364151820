#pragma once

#include "platform/AudioSource.h"
#include "platform/linux/pulse/PulseConnection.h"

#include <memory>

// Records a PulseAudio source (PipeWire's Pulse server serves it too). System audio is the
// monitor of the default sink; the microphone is the default source.
class PulseAudioSource final : public AudioSource
{
public:
    PulseAudioSource(Device device, Layout layout);
    ~PulseAudioSource() override;

    std::optional<QString> start(Receiver receiver) override;
    void stop() override;
    AudioFormat format() const override { return m_format; }

private:
    const char *deviceName() const;
    std::optional<QString> chooseFormat();
    void read(pa_stream *stream);

    Device m_device;
    Layout m_layout;
    AudioFormat m_format;
    Receiver m_receiver;
    std::unique_ptr<PulseConnection> m_connection;
    pa_stream *m_stream = nullptr;
};
