#pragma once

#include <optional>

#include <QString>

// Every location the application reads or writes, computed afresh from the environment on each
// call. Overrides (VELKO_DATA_DIR, VELKO_REPO, VELKO_PYTHON_HOME, VELKO_OPENCODE_HOME) count only
// when set and non-empty.
namespace Paths {

QString dataDir();
QString logsDir();
QString pycacheDir();
QString controlSocket();
QString pythonHome();
QString serverRoot();
QString pipelineRoot();
QString opencodeBin();

// <prefix>/share/velko-ai for an executable at <prefix>/bin.
QString bundleResources();
// The per-user runtime directory, else the system temporary directory.
QString runtimeDir();

// Creates dataDir, logsDir and pycacheDir and makes dataDir owner-only. Returns the first
// failure's message, or nothing on success.
std::optional<QString> ensure();

} // namespace Paths
