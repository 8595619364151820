#pragma once

#include <chrono>
#include <optional>

#include <QString>
#include <QStringList>

// The search path the pipeline and the built-in model server run with. An application started
// from the desktop does not see the PATH the user's shell start-up files build, so the user's own
// login shell is asked for it once.
namespace ShellEnvironment {

// The shell to ask: SHELL when set and non-empty, else the user's login shell from the password
// database, else /bin/sh.
QString shell();

// The PATH of an interactive login shell, or absent when the shell cannot start, does not answer
// within `timeout` (it is then ended with its whole process tree) or prints no PATH. Blocks the
// calling thread meanwhile.
std::optional<QString> loginPath(std::chrono::milliseconds timeout);

// The text between the first two "__VELKO__" markers of the shell's output; absent when a marker
// is missing or nothing stands between them.
std::optional<QString> parse(const QString &output);

// pythonBin, then bundled, then the login PATH's entries, then a fixed list of common
// directories; empty entries and repeats dropped, joined with ':'.
QString pipelinePath(const QString &pythonBin, const QStringList &bundled,
                     const std::optional<QString> &login);

} // namespace ShellEnvironment
