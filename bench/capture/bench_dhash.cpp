#include "capture/FrameFilter.h"

#include <benchmark/benchmark.h>

#include <random>

namespace {

QImage noise(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    std::mt19937 random(7);
    for (int y = 0; y < height; ++y) {
        auto *line = reinterpret_cast<quint32 *>(image.scanLine(y));
        for (int x = 0; x < width; ++x)
            line[x] = random();
    }
    return image;
}

// Goal: at most 20 µs for a 3840×2160 frame, whatever its size.
void dHash(benchmark::State &state)
{
    const QImage image = noise(int(state.range(0)), int(state.range(1)));
    for (auto _ : state)
        benchmark::DoNotOptimize(FrameFilter::dHash(image));
}

} // namespace

BENCHMARK(dHash)->Args({3840, 2160})->Args({1920, 1080})->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
