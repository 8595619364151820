// The cost of one kept frame, step by step: scaling 1920×1080 to 1600×900, text recognition,
// redaction and JPEG encoding (libjpeg-turbo and Qt's writer), for a sparse frame (a few lines of
// text) and a dense one (a page of text). Goals: sparse at most 120 ms, dense at most 800 ms.
// Text recognition runs on one thread, as in the application.
#include "capture/FrameRedactor.h"
#include "capture/Jpeg.h"
#include "capture/TextRecognizer.h"
#include "core/ProcessStart.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QImageWriter>
#include <QPainter>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <time.h>
#include <vector>

namespace {

// `lines` lines of `width` characters of 17-pixel text on a 1920×1080 screen.
QImage screen(int lines, int width)
{
    QImage image(1920, 1080, QImage::Format_RGB32);
    image.fill(qRgb(250, 250, 250));
    QPainter painter(&image);
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(17);
    painter.setFont(font);
    painter.setPen(qRgb(30, 30, 30));
    const QString words =
        QStringLiteral("The quarterly report lists revenue by region and the password: Hunt3r2024 "
                       "appears next to card 4111111111111111 while the rest is ordinary prose. ");
    for (int i = 0; i < lines; ++i)
        painter.drawText(40, 60 + i * 22, words.repeated(3).mid((i * 7) % 40, width));
    return image;
}

double processCpuMs()
{
    timespec now {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

// Median CPU time of the process (Qt scales on its own worker threads): on a machine shared with
// other work, wall time mostly measures the others.
double medianMs(int runs, const std::function<void()> &work)
{
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        const double start = processCpuMs();
        work();
        times.push_back(processCpuMs() - start);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

QByteArray qtJpeg(const QImage &image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setQuality(60);
    writer.write(image);
    return bytes;
}

void measure(const char *name, int lines, int width, double goalMs, TextRecognizer &recognizer)
{
    const QImage shown = screen(lines, width);
    const int runs = lines > 10 ? 3 : 7;
    QImage scaled;
    const double scale = medianMs(runs, [&] {
        scaled = shown.scaled(1600, 900, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    });
    std::optional<QList<TextRecognizer::Line>> lines_;
    const double ocr = medianMs(runs, [&] { lines_ = recognizer.recognize(scaled); });
    QList<QRect> boxes;
    const double find = medianMs(runs, [&] { boxes = FrameRedactor::secretBoxes(*lines_); });
    QImage redacted;
    const double cover = medianMs(runs, [&] { redacted = FrameRedactor::covered(scaled, boxes); });
    QByteArray turbo, qt;
    const double turboMs = medianMs(runs, [&] { turbo = Jpeg::encode(redacted, 60); });
    const double qtMs = medianMs(runs, [&] { qt = qtJpeg(redacted); });
    const double total = scale + ocr + find + cover + std::min(turboMs, qtMs);
    std::printf("%s frame (%d text lines of %d characters, %lld recognised, %lld secrets)\n", name,
                lines, width, qlonglong(lines_->size()), qlonglong(boxes.size()));
    std::printf("  scale 1920x1080 -> 1600x900  %8.2f ms\n", scale);
    std::printf("  text recognition             %8.2f ms (%.3f ms per character)\n", ocr,
                ocr / (lines * width));
    std::printf("  secret search                %8.2f ms\n", find);
    std::printf("  covering                     %8.2f ms\n", cover);
    std::printf("  JPEG libjpeg-turbo           %8.2f ms (%lld bytes)\n", turboMs,
                qlonglong(turbo.size()));
    std::printf("  JPEG Qt writer               %8.2f ms (%lld bytes)  turbo is %.2fx faster\n",
                qtMs, qlonglong(qt.size()), qtMs / turboMs);
    std::printf("  total (CPU)                  %8.2f ms  goal %.0f ms: %.2f of the goal\n\n",
                total, goalMs, total / goalMs);
}

} // namespace

int main(int argc, char *argv[])
{
    ProcessStart::limitOpenMpThreads(argv);
    QGuiApplication app(argc, argv);
    std::printf("OMP_THREAD_LIMIT=%s\n\n", qgetenv("OMP_THREAD_LIMIT").constData());
    QElapsedTimer clock;
    clock.start();
    TextRecognizer recognizer;
    if (!recognizer.ready()) {
        std::fprintf(stderr, "the text engine did not start\n");
        return 1;
    }
    std::printf("engine start %.1f ms\n\n", double(clock.nsecsElapsed()) / 1e6);
    measure("sparse", 5, 50, 120, recognizer);
    measure("half page", 22, 100, 800, recognizer);
    measure("dense", 44, 180, 800, recognizer);
    return 0;
}
