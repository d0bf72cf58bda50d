#pragma once

// Facts about this machine that the version answer reports.

#include <optional>
#include <string>
#include <string_view>

namespace kivo::platform {

// "Linux version <major>.<minor>.<patch>" from the kernel release, for example
// "Linux version 6.1.0" for 6.1.0-18-amd64.
std::string operatingSystemDescription();

// The numeric prefixes of a kernel release's first three dot-separated parts; a missing number
// is 0 ("6.1.0-18-amd64" gives "6.1.0", "5.15" gives "5.15.0").
std::string kernelVersionNumbers(std::string_view release);

// The user's applications folder by the XDG convention: $XDG_DATA_HOME/applications, or
// $HOME/.local/share/applications when that variable is unset or empty.
std::string applicationsFolder(std::optional<std::string_view> xdgDataHome,
                               std::optional<std::string_view> home);
std::string applicationsFolder();

}  // namespace kivo::platform
