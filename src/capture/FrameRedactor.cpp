#include "capture/FrameRedactor.h"

#include <QHash>
#include <QPainter>

namespace FrameRedactor {

namespace {

constexpr int margin = 3;
const QColor cover = QColor::fromRgbF(0.45f, 0.45f, 0.45f);

QList<QRegularExpression> buildPatterns()
{
    // Vendor formats from each vendor's published key documentation; then the generic ones.
    static const char *const sources[] = {
        // workspace-chat tokens: xoxa-, xoxb-, xoxp-, xoxo-, xoxs-, xoxr-
        R"(xox[abposr]-[A-Za-z0-9-]{10,})",
        // payment secret and restricted keys, live or test
        R"((?:sk|rk)_(?:live|test)_[A-Za-z0-9]{16,})",
        // cloud API keys
        R"(AIza[A-Za-z0-9_-]{30,})",
        // model-provider keys with a typed prefix
        R"(sk-(?:or|ant|proj|svcacct|admin)-[A-Za-z0-9_-]{12,})",
        // model-provider keys, plain form
        R"(sk-[A-Za-z0-9]{20,})",
        // code-hosting tokens: classic and fine-grained
        R"((?:gh[pousr]_[A-Za-z0-9]{30,}|github_pat_[A-Za-z0-9_]{30,}))",
        // code-hosting personal access tokens
        R"(glpat-[A-Za-z0-9_-]{16,})",
        // cloud access key identifiers, long-term or temporary
        R"((?:AKIA|ASIA)[A-Z0-9]{12,})",
        R"([A-Za-z0-9_-]{20,}\.[A-Za-z0-9_-]{20,}\.[A-Za-z0-9_-]{20,})",
        R"((?i)[\w.-]*(?:password|passwd|secret|token|api[_-]?key|credential|bearer|private[_-]?key|access[_-]?key)[\w.-]*\s*[:=]\s*\S+)",
        R"((?i)\b(?:pass(?:word|wd|code|phrase)?|kennwort|passwort|pin)\s+(?:is|was|ist|lautet)\s+\S+)",
        R"(\b\d{13,19}\b)",
    };
    QList<QRegularExpression> result;
    for (const char *source : sources) {
        // Unicode classes, as recognised text is not ASCII-only.
        QRegularExpression pattern(QString::fromUtf8(source),
                                   QRegularExpression::UseUnicodePropertiesOption);
        if (pattern.isValid()) {
            pattern.optimize();
            result.append(pattern);
        }
    }
    return result;
}

const QHash<QChar, QChar> &confusable()
{
    static const QHash<QChar, QChar> table = [] {
        QHash<QChar, QChar> map;
        for (char16_t dash : {u'\u2014', u'\u2013', u'\u2010', u'\u2011', u'\u2212'})
            map.insert(QChar(dash), QChar('-'));
        const std::pair<char16_t, char> letters[] = {
            {u'\u0410', 'A'}, {u'\u0412', 'B'}, {u'\u0415', 'E'}, {u'\u041A', 'K'},
            {u'\u041C', 'M'}, {u'\u041D', 'H'}, {u'\u041E', 'O'}, {u'\u0420', 'P'},
            {u'\u0421', 'C'}, {u'\u0422', 'T'}, {u'\u0425', 'X'}, {u'\u0405', 'S'},
            {u'\u0430', 'a'}, {u'\u0435', 'e'}, {u'\u043E', 'o'}, {u'\u0440', 'p'},
            {u'\u0441', 'c'}, {u'\u0443', 'y'}, {u'\u0445', 'x'}, {u'\u0456', 'i'},
            {u'\u0458', 'j'}, {u'\u0455', 's'}, {u'\u00D8', '0'}, {u'\u0417', '3'},
        };
        for (const auto &[from, to] : letters)
            map.insert(QChar(from), QChar(to));
        return map;
    }();
    return table;
}

} // namespace

const QList<QRegularExpression> &patterns()
{
    static const QList<QRegularExpression> list = buildPatterns();
    return list;
}

QString normalised(const QString &text)
{
    const QHash<QChar, QChar> &table = confusable();
    QString result = text;
    for (QChar &c : result)
        c = table.value(c, c);
    return result;
}

bool looksLikeKey(const QString &word)
{
    if (word.size() < 32 || word.contains('.') || word.contains('/'))
        return false;
    bool digit = false, upper = false, lower = false;
    for (const QChar c : word) {
        digit = digit || c.isNumber();
        upper = upper || (c.isLetter() && c.isUpper());
        lower = lower || (c.isLetter() && c.isLower());
    }
    if (!digit || !upper || !lower)
        return false;
    static const QRegularExpression separators(QStringLiteral("[-_]"));
    for (const QString &piece : word.split(separators, Qt::SkipEmptyParts))
        if (piece.size() >= 16)
            return true;
    return false;
}

QList<std::pair<qsizetype, qsizetype>> secretRanges(const QString &text)
{
    QList<std::pair<qsizetype, qsizetype>> ranges;
    for (const QRegularExpression &pattern : patterns()) {
        for (auto it = pattern.globalMatch(text); it.hasNext();) {
            const QRegularExpressionMatch match = it.next();
            ranges.append({match.capturedStart(), match.capturedLength()});
        }
    }
    qsizetype start = 0;
    for (const QString &word : text.split(' ')) {
        if (!word.isEmpty() && looksLikeKey(word))
            ranges.append({start, word.size()});
        start += word.size() + 1;
    }
    return ranges;
}

QList<QRect> secretBoxes(const QList<TextRecognizer::Line> &lines)
{
    QList<QRect> boxes;
    for (const TextRecognizer::Line &line : lines) {
        for (const auto &[start, length] : secretRanges(normalised(line.text))) {
            QRect box;
            for (qsizetype i = start; i < start + length && i < line.boxes.size(); ++i)
                box |= line.boxes[i];
            boxes.append(box.isEmpty() ? line.box : box);
        }
    }
    return boxes;
}

QList<QRect> secretBoxes(const QImage &image, TextRecognizer &recognizer)
{
    const std::optional<QList<TextRecognizer::Line>> lines = recognizer.recognize(image);
    return lines ? secretBoxes(*lines) : QList<QRect>();
}

QImage covered(const QImage &image, const QList<QRect> &boxes)
{
    if (boxes.isEmpty())
        return image;
    QImage result = image.copy();
    QPainter painter(&result);
    if (!painter.isActive())
        return image;
    for (const QRect &box : boxes)
        painter.fillRect(box.adjusted(-margin, -margin, margin, margin), cover);
    return result;
}

QImage redacted(const QImage &image, TextRecognizer &recognizer)
{
    return covered(image, secretBoxes(image, recognizer));
}

} // namespace FrameRedactor
