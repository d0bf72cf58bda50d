#include "platform/SystemFacts.h"

#include <sys/utsname.h>

#include <cctype>
#include <cstdlib>

namespace kivo::platform {
namespace {

std::optional<std::string_view> environmentValue(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) {
        return std::nullopt;
    }
    return std::string_view(value);
}

}  // namespace

std::string kernelVersionNumbers(std::string_view release) {
    std::string result;
    std::size_t position = 0;
    for (int part = 0; part < 3; ++part) {
        std::string digits;
        while (position < release.size() &&
               std::isdigit(static_cast<unsigned char>(release[position]))) {
            digits.push_back(release[position++]);
        }
        // Leading zeros would make "06" where the kernel means 6.
        const auto firstNonZero = digits.find_first_not_of('0');
        digits = firstNonZero == std::string::npos ? "0" : digits.substr(firstNonZero);
        if (part > 0) {
            result.push_back('.');
        }
        result += digits;
        if (position < release.size() && release[position] == '.') {
            ++position;
        } else {
            position = release.size();
        }
    }
    return result;
}

std::string operatingSystemDescription() {
    utsname names{};
    const std::string_view release = ::uname(&names) == 0 ? names.release : "";
    return "Linux version " + kernelVersionNumbers(release);
}

std::string applicationsFolder(std::optional<std::string_view> xdgDataHome,
                               std::optional<std::string_view> home) {
    if (xdgDataHome && !xdgDataHome->empty()) {
        return std::string(*xdgDataHome) + "/applications";
    }
    return std::string(home.value_or("")) + "/.local/share/applications";
}

std::string applicationsFolder() {
    return applicationsFolder(environmentValue("XDG_DATA_HOME"), environmentValue("HOME"));
}

}  // namespace kivo::platform
