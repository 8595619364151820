// The cost of recording narration: a recording with the screen off runs for a while with system
// audio and the microphone on, then with both off; the difference in this process's CPU time
// over the wall time is the capture's share of one core (goal: at most 2 %). The audio server's
// own work is not counted. Run it under scripts/headless: bench_audio_capture [seconds]
#include "capture/NativeRecorder.h"

#include <QJsonObject>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <thread>

namespace {

double processCpu()
{
    timespec ts {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

struct Figures
{
    double cpuShare; // of one core, while recording
    double stopSeconds;
    QJsonObject summary;
};

Figures record(bool audio, int seconds)
{
    QTemporaryDir dir;
    NativeRecorder recorder({dir.filePath("frames"), dir.filePath("audio"), 1, audio, audio, false},
                            [](const QJsonObject &) {});
    recorder.start();
    const double cpu = processCpu();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double used = processCpu() - cpu;
    const auto stopping = std::chrono::steady_clock::now();
    Figures figures {used / seconds, 0, recorder.stop()};
    figures.stopSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - stopping).count();
    return figures;
}

} // namespace

int main(int argc, char **argv)
{
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    const Figures off = record(false, seconds);
    const Figures on = record(true, seconds);
    std::printf("recording %d s with the screen off (process CPU / wall):\n", seconds);
    std::printf("  audio and microphone off: %.3f %% of one core\n", 100 * off.cpuShare);
    std::printf("  audio and microphone on:  %.3f %% of one core\n", 100 * on.cpuShare);
    std::printf("  capture overhead:         %.3f %% of one core (goal <= 2 %%)\n",
                100 * (on.cpuShare - off.cpuShare));
    std::printf("  stop with both files transcribed: %.3f s (engine %s, %d speech lines)\n",
                on.stopSeconds, qPrintable(on.summary.value("audio_engine").toString()),
                on.summary.value("speech").toInt());
    return 0;
}
