#include "capture/FrameFilter.h"

#include <QTest>

#include <bit>

namespace {

QImage filled(int width, int height, QRgb colour)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(colour);
    return image;
}

// 2×2-pixel cells: rows of cells are bright up to column i and dark after it, so only the step
// from column i to i+1 of row i is darker.
QImage diagonalSteps()
{
    QImage image(18, 16, QImage::Format_RGB32);
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 18; ++x)
            image.setPixel(x, y, x / 2 <= y / 2 ? qRgb(100, 100, 100) : qRgb(50, 50, 50));
    return image;
}

// Left cell pure green 50 (grey 29.35), right cell pure blue 255 (grey 29.07): only weights read
// from bytes B, G, R make the right one darker.
QImage blueBesideGreen()
{
    QImage image = filled(9, 8, qRgb(0, 50, 0));
    for (int y = 0; y < 8; ++y)
        image.setPixel(1, y, qRgb(0, 0, 255));
    for (int x = 2; x < 9; ++x)
        for (int y = 0; y < 8; ++y)
            image.setPixel(x, y, qRgb(0, 0, 255));
    return image;
}

// Cells of 16×16 pixels are sampled on every second row: the black odd rows of column 1 go
// unseen.
QImage darkOddRows()
{
    QImage image = filled(9 * 16, 8 * 16, qRgb(255, 255, 255));
    for (int y = 1; y < image.height(); y += 2)
        for (int x = 16; x < 32; ++x)
            image.setPixel(x, y, qRgb(0, 0, 0));
    return image;
}

} // namespace

class TestFrameFilter : public QObject
{
    Q_OBJECT

private slots:
    void dHash_data()
    {
        QTest::addColumn<QImage>("image");
        QTest::addColumn<quint64>("hash");
        QTest::newRow("uniform") << filled(1920, 1080, qRgb(30, 200, 90)) << quint64(0);
        QTest::newRow("8 pixels wide") << QImage(8, 100, QImage::Format_RGB32) << quint64(0);
        QTest::newRow("7 rows high") << QImage(100, 7, QImage::Format_RGB32) << quint64(0);
        QTest::newRow("not 32-bit") << QImage(100, 100, QImage::Format_Grayscale8) << quint64(0);
        QTest::newRow("diagonal steps") << diagonalSteps() << quint64(0x8040201008040201);
        QTest::newRow("byte order B, G, R") << blueBesideGreen() << quint64(0x0101010101010101);
        QTest::newRow("sampled rows only") << darkOddRows() << quint64(0);
    }
    void dHash()
    {
        QFETCH(QImage, image);
        QFETCH(quint64, hash);
        QCOMPARE(FrameFilter::dHash(image), hash);
    }

    void darkerRightNeighbourSetsItsBit()
    {
        // A falling ramp across the whole width: every cell is darker than its left neighbour.
        QImage image(90, 80, QImage::Format_RGB32);
        for (int x = 0; x < 90; ++x)
            for (int y = 0; y < 80; ++y)
                image.setPixel(x, y, qRgb(255 - 2 * x, 255 - 2 * x, 255 - 2 * x));
        QCOMPARE(FrameFilter::dHash(image), ~quint64(0));
        QCOMPARE(FrameFilter::dHash(image.mirrored(true, false)), quint64(0));
    }

    void keep_data()
    {
        QTest::addColumn<int>("bits");
        QTest::addColumn<bool>("force");
        QTest::addColumn<bool>("kept");
        QTest::newRow("same") << 0 << false << false;
        QTest::newRow("5 bits") << 5 << false << false;
        QTest::newRow("6 bits") << 6 << false << true;
        QTest::newRow("64 bits") << 64 << false << true;
        QTest::newRow("same, forced") << 0 << true << true;
    }
    void keep()
    {
        QFETCH(int, bits);
        QFETCH(bool, force);
        QFETCH(bool, kept);
        FrameFilter filter;
        const quint64 first = 0x0123456789abcdef;
        QVERIFY(filter.keep(first, false)); // the first sample is always kept
        const quint64 flips = bits == 64 ? ~quint64(0) : (quint64(1) << bits) - 1;
        const quint64 next = first ^ (flips << (64 - bits) % 64);
        QCOMPARE(std::popcount(first ^ next), bits);
        QCOMPARE(filter.keep(next, force), kept);
        QCOMPARE(*filter.last, kept ? next : first);
    }
};

QTEST_APPLESS_MAIN(TestFrameFilter)
#include "tst_framefilter.moc"
