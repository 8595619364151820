#pragma once

#include <QString>

// Starting Velko AI when the user logs in, through an XDG autostart entry
// ($XDG_CONFIG_HOME/autostart/velko-ai.desktop).
namespace LoginItem {

// Registers (on) or removes (off) the entry and logs the result. True when it took effect.
bool set(bool on);
// Whether the entry is there and not hidden.
bool enabled();
QString entryPath();

// The argument the entry passes, so that a start at login can be told apart.
inline constexpr auto kLaunchedAtLogin = "--launched-at-login";

} // namespace LoginItem
