#include "capture/Jpeg.h"

#include <turbojpeg.h>

namespace Jpeg {

QByteArray encode(const QImage &image, int quality)
{
    if (image.isNull())
        return {};
    const bool fourBytes = image.format() == QImage::Format_RGB32 ||
        image.format() == QImage::Format_ARGB32 ||
        image.format() == QImage::Format_ARGB32_Premultiplied;
    const QImage pixels = fourBytes ? image : image.convertToFormat(QImage::Format_RGB32);
    tjhandle handle = tjInitCompress();
    if (!handle)
        return {};
    unsigned char *data = nullptr;
    unsigned long size = 0;
    // Memory order of Qt's 32-bit formats on little-endian machines: B, G, R, A.
    const int failed =
        tjCompress2(handle, pixels.constBits(), pixels.width(), int(pixels.bytesPerLine()),
                    pixels.height(), TJPF_BGRX, &data, &size, TJSAMP_420, quality, TJFLAG_FASTDCT);
    QByteArray result;
    if (!failed)
        result = QByteArray(reinterpret_cast<const char *>(data), qsizetype(size));
    tjFree(data);
    tjDestroy(handle);
    return result;
}

} // namespace Jpeg
