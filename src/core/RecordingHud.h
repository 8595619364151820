#pragma once

#include <functional>

class PipelineClient;

// The floating indicator shown while a recording runs: elapsed time, frames kept and Stop.
class RecordingHud
{
public:
    virtual ~RecordingHud() = default;

    // Shows it for this client; nothing when it is already shown.
    virtual void show(PipelineClient *client, std::function<void()> onStop) = 0;
    virtual void hide() = 0;
};
