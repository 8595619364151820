#include "core/Permission.h"

#include "core/SpeechModel.h"
#include "platform/AccessibilityTree.h"
#include "platform/AudioSource.h"
#include "platform/ClickListener.h"
#include "platform/ScreenSource.h"

#include <QProcess>
#include <QStandardPaths>

namespace {

using State = Permission::State;

// Frames come from the X display through shared memory: reachable display and MIT-SHM, or no
// recording. Nobody can grant more, so a refusal reads as not asked.
State screenState()
{
    return ScreenSource::create()->accessible() ? State::Granted : State::NotAsked;
}

// Controls and focus are read over the accessibility bus, once the desktop turned it on.
State accessibilityState()
{
    return AccessibilityTree::shared().trusted() ? State::Granted : State::NotAsked;
}

// Clicks are seen through XInput 2; a display without it cannot be granted anything.
State inputMonitoringState()
{
    return ClickListener::available() ? State::Granted : State::NotAsked;
}

// Nobody asks for the microphone here: it is there when the audio server answers with an input.
State microphoneState()
{
    return AudioSource::microphoneAvailability() == AudioSource::Availability::Ready
        ? State::Granted
        : State::NotAsked;
}

// Recognition runs on this machine, so it is allowed once its model is installed.
State speechState()
{
    return SpeechModel::installed() ? State::Granted : State::NotAsked;
}

// Settings panels of the common desktops, the first installed one wins.
QStringList settingsPanels(Permission::Kind kind)
{
    switch (kind) {
    case Permission::Screen:
        return {"gnome-display-panel.desktop", "kcm_kscreen.desktop",
                "xfce-display-settings.desktop"};
    case Permission::Accessibility:
        return {"gnome-universal-access-panel.desktop", "kcm_access.desktop",
                "xfce4-accessibility-settings.desktop"};
    case Permission::InputMonitoring:
        return {"gnome-mouse-panel.desktop", "kcm_mouse.desktop", "xfce-mouse-settings.desktop"};
    case Permission::Microphone:
        return {"gnome-microphone-panel.desktop", "gnome-sound-panel.desktop",
                "kcm_pulseaudio.desktop", "pavucontrol.desktop"};
    case Permission::Speech:
        return {};
    }
    return {};
}

QString describe(Permission::Kind kind)
{
    switch (kind) {
    case Permission::Screen:
        return QStringLiteral("screen recording");
    case Permission::Accessibility:
        return QStringLiteral("accessibility");
    case Permission::InputMonitoring:
        return QStringLiteral("input monitoring");
    case Permission::Microphone:
        return QStringLiteral("the microphone");
    case Permission::Speech:
        return QStringLiteral("speech recognition");
    }
    return {};
}

} // namespace

QList<Permission> Permission::all()
{
    return {Screen, Accessibility, InputMonitoring, Microphone, Speech};
}

std::optional<Permission> Permission::fromRaw(const QString &raw)
{
    for (Permission permission : all())
        if (permission.rawValue() == raw)
            return permission;
    return std::nullopt;
}

QString Permission::rawValue() const
{
    switch (m_kind) {
    case Screen:
        return QStringLiteral("screen");
    case Accessibility:
        return QStringLiteral("accessibility");
    case InputMonitoring:
        return QStringLiteral("inputMonitoring");
    case Microphone:
        return QStringLiteral("microphone");
    case Speech:
        return QStringLiteral("speech");
    }
    return {};
}

bool Permission::required() const
{
    return m_kind == Screen || m_kind == Accessibility;
}

std::optional<QUrl> Permission::settingsURL() const
{
    for (const QString &panel : settingsPanels(m_kind)) {
        const QString path = QStandardPaths::locate(QStandardPaths::ApplicationsLocation, panel);
        if (!path.isEmpty())
            return QUrl::fromLocalFile(path);
    }
    return std::nullopt;
}

Permission::State Permission::state() const
{
    switch (m_kind) {
    case Screen:
        return screenState();
    case Accessibility:
        return accessibilityState();
    case InputMonitoring:
        return inputMonitoringState();
    case Microphone:
        return microphoneState();
    case Speech:
        return speechState();
    }
    return State::NotAsked;
}

std::optional<QString> Permission::request() const
{
    if (state() == State::Granted)
        return std::nullopt;
    // The desktop's accessibility switch can be turned on from here; its panel is the fallback.
    if (m_kind == Accessibility && AccessibilityTree::shared().enable())
        return std::nullopt;
    const std::optional<QUrl> settings = settingsURL();
    if (settings &&
        QProcess::startDetached(QStringLiteral("gio"),
                                {QStringLiteral("launch"), settings->toLocalFile()}))
        return std::nullopt;
    return QStringLiteral("This desktop has no settings for %1.").arg(describe(m_kind));
}
