#pragma once

#include <QList>
#include <QString>
#include <QUrl>

#include <optional>

// The five permissions a recording needs. Linux asks for few of them: each state is read from
// what really gates the feature, and the settings are the desktop's own panels where they exist.
class Permission
{
public:
    enum Kind { Screen, Accessibility, InputMonitoring, Microphone, Speech };
    enum class State { Granted, Denied, NotAsked };

    constexpr Permission(Kind kind)
        : m_kind(kind)
    { }

    // Every case, in the order above.
    static QList<Permission> all();
    // Exact raw values only ("screen", "inputMonitoring", ...).
    static std::optional<Permission> fromRaw(const QString &raw);

    Kind kind() const { return m_kind; }
    QString rawValue() const;
    bool required() const;
    // The desktop entry of the settings panel that governs this permission, if one is installed.
    std::optional<QUrl> settingsURL() const;
    // Read synchronously; never prompts.
    State state() const;
    // Opens the settings where the system offers no prompt; returns at once. The message says why
    // nothing could be opened.
    std::optional<QString> request() const;

    friend bool operator==(Permission a, Permission b) { return a.m_kind == b.m_kind; }

private:
    Kind m_kind;
};
