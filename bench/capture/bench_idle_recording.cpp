// An unchanged 1920×1080 screen recorded for a while (60 s by default, or the first argument):
// only grabs and hashes run. Prints the process's CPU time as a share of one core; goal: at most
// 1 %. Needs an X display whose screen does not change (scripts/headless).
#include "capture/NativeRecorder.h"
#include "core/ProcessStart.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <chrono>
#include <cstdio>
#include <thread>

#include <sys/resource.h>

namespace {

double cpuSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
        double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

} // namespace

int main(int argc, char *argv[])
{
    ProcessStart::limitOpenMpThreads(argv);
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 60;
    QTemporaryDir dir;
    std::atomic<int> frames = 0;
    NativeRecorder recorder({dir.filePath("frames"), dir.filePath("audio"), 1, false, false, true},
                            [&](const QJsonObject &line) {
                                if (line.value("type") == QLatin1String("frame"))
                                    ++frames;
                            });
    recorder.start();
    // The first frame is always kept (and starts the text engine): measure after it.
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const int keptBefore = frames;
    const double cpuBefore = cpuSeconds();
    const auto wallBefore = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double cpu = cpuSeconds() - cpuBefore;
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();
    const QJsonObject summary = recorder.stop();
    const double share = 100 * cpu / wall;
    std::printf("unchanged screen for %.1f s: %d frame(s) kept, CPU %.3f s = %.3f %% of one core "
                "(goal 1 %%: %.2f of the goal)\n",
                wall, frames - keptBefore, cpu, share, share / 1.0);
    std::printf("per sample: %.3f ms\n", 1000 * cpu / (wall * 4));
    return summary.value("frames").toInt() >= 1 ? 0 : 1;
}
