#pragma once

#include <QString>

#include <QCoro/QCoroTask>

// The desktop entry "velko-ai.desktop" declares Velko AI the handler of "vuvuvuv:" links, so the
// browser's sign-in callback comes back to the application.
namespace DesktopEntry {

// ~/.local/share/applications/velko-ai.desktop (under $XDG_DATA_HOME when set).
QString userEntryPath();

// When the user has no entry yet, writes one whose Exec runs this very executable and refreshes
// the desktop's cache; when no handler is set for "vuvuvuv:" links, makes it the handler.
// Failures go to the application log.
QCoro::Task<> install();

// The installed entry with its Exec line running `executable`.
QString withExecutable(const QString &entry, const QString &executable);

} // namespace DesktopEntry
