#include "capture/TextRecognizer.h"

#include <tesseract/baseapi.h>
#include <tesseract/resultiterator.h>

#include <string>
#include <vector>

TextRecognizer::TextRecognizer()
    : m_api(std::make_unique<tesseract::TessBaseAPI>())
{
    // The dictionaries only serve word correction, which must stay off: keys are not words.
    const std::vector<std::string> names {"load_system_dawg", "load_freq_dawg"};
    const std::vector<std::string> values {"0", "0"};
    m_ready = m_api->Init(nullptr, "eng", tesseract::OEM_LSTM_ONLY, nullptr, 0, &names, &values,
                          false) == 0;
    if (m_ready) {
        m_api->SetPageSegMode(tesseract::PSM_SPARSE_TEXT);
        m_api->SetVariable("debug_file", "/dev/null");
    }
}

TextRecognizer::~TextRecognizer()
{
    if (m_ready)
        m_api->End();
}

std::optional<QList<TextRecognizer::Line>> TextRecognizer::recognize(const QImage &image)
{
    if (!m_ready || image.isNull())
        return std::nullopt;
    const QImage grey = image.convertToFormat(QImage::Format_Grayscale8);
    m_api->SetImage(grey.constBits(), grey.width(), grey.height(), 1, int(grey.bytesPerLine()));
    m_api->SetSourceResolution(96);
    if (m_api->Recognize(nullptr) != 0)
        return std::nullopt;

    QList<Line> lines;
    std::unique_ptr<tesseract::ResultIterator> it(m_api->GetIterator());
    if (!it || it->Empty(tesseract::RIL_SYMBOL))
        return lines;
    do {
        int left = 0, top = 0, right = 0, bottom = 0;
        if (lines.isEmpty() || it->IsAtBeginningOf(tesseract::RIL_TEXTLINE)) {
            Line line;
            if (it->BoundingBox(tesseract::RIL_TEXTLINE, &left, &top, &right, &bottom))
                line.box = QRect(QPoint(left, top), QPoint(right - 1, bottom - 1));
            lines.append(line);
        } else if (it->IsAtBeginningOf(tesseract::RIL_WORD)) {
            lines.last().text += ' ';
            lines.last().boxes.append(QRect());
        }
        const std::unique_ptr<char[]> symbol(it->GetUTF8Text(tesseract::RIL_SYMBOL));
        if (!symbol)
            continue;
        const QString text = QString::fromUtf8(symbol.get());
        QRect box;
        if (it->BoundingBox(tesseract::RIL_SYMBOL, &left, &top, &right, &bottom))
            box = QRect(QPoint(left, top), QPoint(right - 1, bottom - 1));
        lines.last().text += text;
        for (qsizetype i = 0; i < text.size(); ++i)
            lines.last().boxes.append(box);
    } while (it->Next(tesseract::RIL_SYMBOL));
    m_api->Clear();
    return lines;
}
