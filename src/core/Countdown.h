#pragma once

// The 3-2-1 shown in the middle of the screen while the recorder starts.
class Countdown
{
public:
    virtual ~Countdown() = default;

    // Starts a new countdown, cancelling a running one.
    virtual void run() = 0;
    // Stops it and closes it at once.
    virtual void cancel() = 0;
};
