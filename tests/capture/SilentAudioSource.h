#pragma once

#include "platform/AudioSource.h"

// An audio source that starts and never delivers a buffer: recordings in tests that are not
// about audio leave no audio files and stay deaf to sound played by other tests.
class SilentAudioSource : public AudioSource
{
public:
    static std::unique_ptr<AudioSource> create(Device, Layout)
    {
        return std::make_unique<SilentAudioSource>();
    }

    std::optional<QString> start(Receiver) override { return std::nullopt; }
    void stop() override { }
    AudioFormat format() const override { return {AudioFormat::Sample::Int16, 16000, 1}; }
};
