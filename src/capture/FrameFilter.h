#pragma once

#include <QImage>

#include <optional>

// Decides which screen samples are worth keeping: a 64-bit difference hash per sample, and a
// sample counts as changed when its hash differs from the last kept one in `threshold` bits.
struct FrameFilter
{
    int threshold = 6;
    std::optional<quint64> last;

    // Reads a few thousand pixels whatever the size, straight from the 4-byte B, G, R, X pixels
    // of a 32-bit image (any other format hashes to 0). Bit 8·i + j is set when cell (i, j+1) of
    // a 9×8 grid is darker than cell (i, j).
    static quint64 dHash(const QImage &image);
    static quint64 dHash(const uchar *pixels, int width, int height, qsizetype bytesPerRow);

    // Whether a sample with hash `hash` is kept; a kept sample becomes `last`.
    bool keep(quint64 hash, bool force);
};
