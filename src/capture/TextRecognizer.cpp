#include "capture/TextRecognizer.h"

#include <tesseract/baseapi.h>
#include <tesseract/ltrresultiterator.h>
#include <tesseract/resultiterator.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

bool started(tesseract::TessBaseAPI &api)
{
    // The dictionaries only serve word correction, which must stay off: keys are not words.
    const std::vector<std::string> names {"load_system_dawg", "load_freq_dawg"};
    const std::vector<std::string> values {"0", "0"};
    if (api.Init(nullptr, "eng", tesseract::OEM_LSTM_ONLY, nullptr, 0, &names, &values, false) != 0)
        return false;
    api.SetPageSegMode(tesseract::PSM_SPARSE_TEXT);
    api.SetVariable("debug_file", "/dev/null");
    return true;
}

QRect box(const tesseract::PageIterator &it, tesseract::PageIteratorLevel level)
{
    int left = 0, top = 0, right = 0, bottom = 0;
    if (!it.BoundingBox(level, &left, &top, &right, &bottom))
        return {};
    return QRect(QPoint(left, top), QPoint(right - 1, bottom - 1));
}

std::optional<QList<TextRecognizer::Line>> read(tesseract::TessBaseAPI &api, const QImage &grey)
{
    api.SetImage(grey.constBits(), grey.width(), grey.height(), 1, int(grey.bytesPerLine()));
    api.SetSourceResolution(96);
    if (api.Recognize(nullptr) != 0) {
        api.Clear();
        return std::nullopt;
    }
    QList<TextRecognizer::Line> lines;
    const std::unique_ptr<tesseract::ResultIterator> start(api.GetIterator());
    if (!start || start->Empty(tesseract::RIL_SYMBOL)) {
        api.Clear();
        return lines;
    }
    // Walked left to right without the bidirectional reordering, which costs more per symbol than
    // the whole walk otherwise and changes nothing for the left-to-right scripts read here.
    tesseract::LTRResultIterator it(*start);
    it.Begin();
    do {
        if (lines.isEmpty() || it.IsAtBeginningOf(tesseract::RIL_TEXTLINE)) {
            TextRecognizer::Line line;
            line.box = box(it, tesseract::RIL_TEXTLINE);
            lines.append(line);
        } else if (it.IsAtBeginningOf(tesseract::RIL_WORD)) {
            lines.last().text += ' ';
            lines.last().boxes.append(QRect());
        }
        const std::unique_ptr<char[]> symbol(it.GetUTF8Text(tesseract::RIL_SYMBOL));
        if (!symbol)
            continue;
        const QString text = QString::fromUtf8(symbol.get());
        const QRect symbolBox = box(it, tesseract::RIL_SYMBOL);
        lines.last().text += text;
        for (qsizetype i = 0; i < text.size(); ++i)
            lines.last().boxes.append(symbolBox);
    } while (it.Next(tesseract::RIL_SYMBOL));
    api.Clear();
    return lines;
}

} // namespace

TextRecognizer::TextRecognizer(bool sideBySide)
    : m_api(std::make_unique<tesseract::TessBaseAPI>())
{
    // The second engine starts on its own thread, beside the first.
    if (sideBySide)
        m_worker = std::thread([this] { work(); });
    m_ready = started(*m_api);
}

TextRecognizer::~TextRecognizer()
{
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_all();
    if (m_worker.joinable())
        m_worker.join();
    if (m_ready)
        m_api->End();
}

void TextRecognizer::work()
{
    auto api = std::make_unique<tesseract::TessBaseAPI>();
    const bool ready = started(*api);
    std::unique_lock lock(m_mutex);
    m_helperApi = std::move(api);
    m_helperReady = ready;
    m_helperStarted = true;
    m_changed.notify_all();
    while (true) {
        m_changed.wait(lock, [this] { return m_stopping || m_band; });
        if (m_stopping)
            break;
        const QImage *band = m_band;
        m_band = nullptr;
        lock.unlock();
        auto lines = read(*m_helperApi, *band);
        lock.lock();
        m_bandLines = std::move(lines);
        m_bandDone = true;
        m_changed.notify_all();
    }
    if (m_helperReady)
        m_helperApi->End();
}

std::optional<int> TextRecognizer::cutRow(const QImage &grey)
{
    // A row whose pixels all lie within a few grey levels of each other crosses no glyph; a run
    // of a few of them is a gap between lines, not the gap inside a letter such as "i".
    constexpr int tolerance = 8;
    constexpr int shortestGap = 3;
    const int height = grey.height();
    const int width = grey.width();
    if (width == 0 || height < 2 * shortestGap)
        return std::nullopt;
    std::vector<bool> blank(static_cast<size_t>(height));
    int inked = 0;
    for (int y = 0; y < height; ++y) {
        const uchar *row = grey.constScanLine(y);
        const auto [low, high] = std::minmax_element(row, row + width);
        blank[size_t(y)] = *high - *low <= tolerance;
        inked += blank[size_t(y)] ? 0 : 1;
    }
    if (inked == 0)
        return std::nullopt;
    int balance = 0;
    for (int seen = 0; balance < height; ++balance) {
        seen += blank[size_t(balance)] ? 0 : 1;
        if (2 * seen >= inked)
            break;
    }
    std::optional<int> best;
    for (int y = 0; y < height;) {
        if (!blank[size_t(y)]) {
            ++y;
            continue;
        }
        const int first = y;
        while (y < height && blank[size_t(y)])
            ++y;
        // A run at an edge leaves nothing to read on one side.
        if (first == 0 || y == height || y - first < shortestGap)
            continue;
        const int middle = (first + y) / 2;
        if (!best || std::abs(middle - balance) < std::abs(*best - balance))
            best = middle;
    }
    return best;
}

std::optional<QList<TextRecognizer::Line>> TextRecognizer::recognize(const QImage &image)
{
    if (!m_ready || image.isNull())
        return std::nullopt;
    const QImage grey = image.convertToFormat(QImage::Format_Grayscale8);
    const std::optional<int> cut = cutRow(grey);
    std::unique_lock lock(m_mutex);
    if (!cut || !m_helperStarted || !m_helperReady) {
        lock.unlock();
        return read(*m_api, grey);
    }
    // Both bands share the pixels of `grey`, which outlives the worker's read.
    const QImage lower(grey.constScanLine(*cut), grey.width(), grey.height() - *cut,
                       grey.bytesPerLine(), QImage::Format_Grayscale8);
    m_band = &lower;
    m_bandDone = false;
    m_changed.notify_all();
    lock.unlock();
    const QImage upper(grey.constBits(), grey.width(), *cut, grey.bytesPerLine(),
                       QImage::Format_Grayscale8);
    std::optional<QList<Line>> lines = read(*m_api, upper);
    lock.lock();
    m_changed.wait(lock, [this] { return m_bandDone; });
    std::optional<QList<Line>> lowerLines = std::move(m_bandLines);
    lock.unlock();
    if (!lines || !lowerLines)
        return std::nullopt;
    for (Line &line : *lowerLines) {
        line.box.translate(0, *cut);
        for (QRect &symbol : line.boxes)
            if (!symbol.isNull())
                symbol.translate(0, *cut);
        lines->append(std::move(line));
    }
    return lines;
}
