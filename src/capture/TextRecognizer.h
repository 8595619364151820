#pragma once

#include <QImage>
#include <QList>
#include <QRect>
#include <QString>

#include <memory>
#include <optional>

namespace tesseract {
class TessBaseAPI;
}

// On-device text recognition (Tesseract, English, LSTM, no dictionary correction). One engine per
// recording, reused frame after frame from one thread. OpenMP must be limited to one thread
// (OMP_THREAD_LIMIT=1) before the process starts: spread over the cores it is several times
// slower.
class TextRecognizer
{
public:
    struct Line
    {
        QString text; // words joined by single spaces
        QList<QRect> boxes; // per UTF-16 unit of `text`: its symbol's box, empty for spaces
        QRect box; // the whole line
    };

    TextRecognizer();
    ~TextRecognizer();

    TextRecognizer(const TextRecognizer &) = delete;
    TextRecognizer &operator=(const TextRecognizer &) = delete;

    // Whether the engine started (its language data may be missing).
    bool ready() const { return m_ready; }
    // Lines in reading order with boxes in the image's pixels; nothing when recognition failed.
    std::optional<QList<Line>> recognize(const QImage &image);

private:
    std::unique_ptr<tesseract::TessBaseAPI> m_api;
    bool m_ready = false;
};
