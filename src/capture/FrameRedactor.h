#pragma once

#include "capture/TextRecognizer.h"

#include <QImage>
#include <QList>
#include <QRect>
#include <QRegularExpression>
#include <QString>

#include <utility>

// Covers what looks like a credential in a frame (provider keys and tokens, password assignments,
// card numbers, long random-looking strings) with grey boxes before the frame is stored.
namespace FrameRedactor {

// Built once, thread-safely, on first use; a pattern that does not compile is left out.
const QList<QRegularExpression> &patterns();
// Undoes look-alike characters one for one, so offsets carry over between both strings.
QString normalised(const QString &text);
// A word of no known format that still looks like a key.
bool looksLikeKey(const QString &word);
// Character ranges (start, length) of secrets in an already normalised line: every pattern
// match in pattern order, then every space-separated word that looks like a key.
QList<std::pair<qsizetype, qsizetype>> secretRanges(const QString &text);
// Boxes of the secrets in recognised lines, in image pixels: the union of a range's symbol
// boxes, else the line's box.
QList<QRect> secretBoxes(const QList<TextRecognizer::Line> &lines);
QList<QRect> secretBoxes(const QImage &image, TextRecognizer &recognizer);
// The image with every secret box painted grey (grown by 3 pixels on every side); the image
// itself, untouched, when there is nothing to cover or recognition failed.
QImage redacted(const QImage &image, TextRecognizer &recognizer);
QImage covered(const QImage &image, const QList<QRect> &boxes);

} // namespace FrameRedactor
