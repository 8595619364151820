#pragma once

#include <QByteArray>
#include <QImage>

// JPEG encoding of recorded frames (libjpeg-turbo, 4:2:0).
namespace Jpeg {

// `quality` from 1 to 100. An empty array when the image cannot be encoded.
QByteArray encode(const QImage &image, int quality);

} // namespace Jpeg
