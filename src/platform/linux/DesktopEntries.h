#pragma once

#include <optional>

#include <QStringList>

// Names of installed applications from their desktop entries.
namespace DesktopEntries {

// The entry's name for the first key that matches one: a window class (StartupWMClass), a
// desktop id, or an executable's name; compared without regard to case.
std::optional<QString> nameFor(const QStringList &keys);

} // namespace DesktopEntries
