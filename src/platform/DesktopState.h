#pragma once

#include <functional>
#include <memory>
#include <optional>

#include <QPoint>
#include <QString>

// The application in front of the user.
struct FrontApp
{
    qint64 pid = 0; // 0 when its window does not say
    QString name; // display name; may be empty
    QString bundleId; // the stand-in for a bundle identifier; may be empty
    QString windowClass; // the window's class, for matching application names
    std::optional<QString> windowTitle;
};

// What the desktop says about the front application, the pointer and the clipboard. Every
// function may be called from any thread.
class DesktopState
{
public:
    virtual ~DesktopState() = default;

    virtual std::optional<FrontApp> frontApp() = 0;
    // Root-window coordinates.
    virtual std::optional<QPoint> pointer() = 0;
    // Counts every time the clipboard got a new owner since this object was created.
    virtual quint64 clipboardChanges() const = 0;
    // The clipboard's text, only when it offers text.
    virtual std::optional<QString> clipboardText() = 0;
    // Called on an internal thread whenever another window becomes active.
    virtual void setActivationHandler(std::function<void()> handler) = 0;

    // Empty when the desktop cannot be reached.
    static std::unique_ptr<DesktopState> create();
};
