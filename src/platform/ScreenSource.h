#pragma once

#include <QImage>
#include <QList>
#include <QRect>
#include <QString>

#include <memory>
#include <optional>

// Pixels of the desktop: the monitors and grabs of one of them. One source per recording; grabs
// come from one thread at a time.
class ScreenSource
{
public:
    struct Monitor
    {
        QString name;
        QRect rect; // in the screen's pixels
        quint32 id = 0;
        bool primary = false;
    };

    // The source of this desktop session (X11 for now).
    static std::unique_ptr<ScreenSource> create();

    virtual ~ScreenSource() = default;

    // Whether this process can capture the screen at all; never prompts.
    virtual bool accessible() = 0;
    // Primary monitor first, the others by ascending id: the display numbering users see.
    virtual QList<Monitor> monitors() = 0;
    // The rectangle with the pointer drawn in and this process's own windows filled grey, as
    // Format_RGB32 (bytes B, G, R, and a fourth byte of no meaning). The image may share memory
    // with the source and stays valid until the next grab. A null image when the grab failed.
    virtual QImage grab(const QRect &rect) = 0;
    // Set once the source can deliver nothing more (the display went away).
    virtual std::optional<QString> failure() const = 0;
};
