#pragma once

#include "platform/ScreenSource.h"

#include <QColor>

#include <algorithm>
#include <atomic>
#include <memory>

// Monitors of chosen sizes whose grabs show the test's colour on the left half and mid grey on
// the right (a uniform image would hash the same in every colour), or the test's image.
class FakeScreenSource : public ScreenSource
{
public:
    struct Screen
    {
        bool accessible = true;
        QList<Monitor> monitors;
        std::atomic<QRgb> colour = 0xff204060;
        std::atomic<int> grabs = 0;
        QImage shown; // when set, every grab shows it instead
        std::atomic<bool> lost = false; // the display went away: grabs fail from now on
    };

    explicit FakeScreenSource(std::shared_ptr<Screen> screen)
        : m_screen(std::move(screen))
    { }

    bool accessible() override { return m_screen->accessible; }
    QList<Monitor> monitors() override { return m_screen->monitors; }
    QImage grab(const QRect &rect) override
    {
        ++m_screen->grabs;
        if (m_screen->lost)
            return {};
        if (!m_screen->shown.isNull())
            return m_screen->shown.copy();
        QImage image(rect.size(), QImage::Format_RGB32);
        image.fill(m_screen->colour.load());
        for (int y = 0; y < image.height(); ++y) {
            auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
            std::fill(line + image.width() / 2, line + image.width(), qRgb(128, 128, 128));
        }
        return image;
    }
    std::optional<QString> failure() const override
    {
        return m_screen->lost ? std::optional<QString>("the display went away") : std::nullopt;
    }

private:
    std::shared_ptr<Screen> m_screen;
};
