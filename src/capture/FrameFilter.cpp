#include "capture/FrameFilter.h"

#include <algorithm>
#include <bit>

quint64 FrameFilter::dHash(const QImage &image)
{
    if (image.depth() != 32)
        return 0;
    return dHash(image.constBits(), image.width(), image.height(), image.bytesPerLine());
}

quint64 FrameFilter::dHash(const uchar *pixels, int width, int height, qsizetype bytesPerRow)
{
    if (!pixels || width < 9 || height < 8)
        return 0;
    double cells[8][9];
    for (int i = 0; i < 8; ++i) {
        const int top = height * i / 8;
        const int bottom = height * (i + 1) / 8;
        const int rowStep = std::max(1, (bottom - top) / 8);
        for (int j = 0; j < 9; ++j) {
            const int left = width * j / 9;
            const int right = width * (j + 1) / 9;
            const int columnStep = std::max(1, (right - left) / 8);
            double sum = 0;
            int count = 0;
            for (int y = top; y < bottom; y += rowStep) {
                const uchar *row = pixels + y * bytesPerRow;
                for (int x = left; x < right; x += columnStep) {
                    const uchar *pixel = row + x * 4;
                    sum += 0.114 * pixel[0] + 0.587 * pixel[1] + 0.299 * pixel[2];
                    ++count;
                }
            }
            cells[i][j] = count ? sum / count : 0;
        }
    }
    quint64 hash = 0;
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 8; ++j)
            if (cells[i][j + 1] < cells[i][j])
                hash |= quint64(1) << (8 * i + j);
    return hash;
}

bool FrameFilter::keep(quint64 hash, bool force)
{
    if (!force && last && std::popcount(hash ^ *last) < threshold)
        return false;
    last = hash;
    return true;
}
