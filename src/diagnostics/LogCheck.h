#pragma once

// The Log section: where the host's log is, its size and mode, when a browser last started the
// host, and its last ERROR lines. Only reads the file.

#include <filesystem>
#include <optional>

#include "diagnostics/Report.h"

namespace kivo::diagnostics {

// How many ERROR lines the section shows, the latest last.
inline constexpr std::size_t shownErrorLines = 5;

// `log`: the log's path, none when the host has no home folder to keep one in.
void checkLog(const std::optional<std::filesystem::path>& log, Section& section);

}  // namespace kivo::diagnostics
