#pragma once

#include <QImage>
#include <QList>
#include <QRect>
#include <QString>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace tesseract {
class TessBaseAPI;
}

// On-device text recognition (Tesseract, English, LSTM, no dictionary correction). One object per
// recording, reused frame after frame from one thread. It holds two engines: a frame with a
// blank row between its lines of text is cut there, and the lower part is read by the second
// engine on a long-lived worker thread while the calling thread reads the upper part. OpenMP must
// be limited to one thread (OMP_THREAD_LIMIT=1) before the process starts: spread over the cores
// it is several times slower.
class TextRecognizer
{
public:
    struct Line
    {
        QString text; // words joined by single spaces
        QList<QRect> boxes; // per UTF-16 unit of `text`: its symbol's box, empty for spaces
        QRect box; // the whole line
    };

    // Without `sideBySide`, one engine reads every frame whole on the calling thread.
    explicit TextRecognizer(bool sideBySide = true);
    ~TextRecognizer();

    TextRecognizer(const TextRecognizer &) = delete;
    TextRecognizer &operator=(const TextRecognizer &) = delete;

    // Whether the engine started (its language data may be missing).
    bool ready() const { return m_ready; }
    // Lines in reading order with boxes in the image's pixels; nothing when recognition failed.
    std::optional<QList<Line>> recognize(const QImage &image);

    // The row at which a greyscale image can be cut in two without crossing a line of text: the
    // middle of a run of blank rows, the one nearest to where half the inked rows lie above;
    // nothing when there is no such run.
    static std::optional<int> cutRow(const QImage &grey);

private:
    void work();

    std::unique_ptr<tesseract::TessBaseAPI> m_api;
    bool m_ready = false;

    // The worker's engine and the one band handed to it at a time, guarded by m_mutex.
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::unique_ptr<tesseract::TessBaseAPI> m_helperApi;
    bool m_helperReady = false;
    bool m_helperStarted = false;
    bool m_stopping = false;
    const QImage *m_band = nullptr;
    std::optional<QList<Line>> m_bandLines;
    bool m_bandDone = false;
    std::thread m_worker;
};
