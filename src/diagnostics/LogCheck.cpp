#include "diagnostics/LogCheck.h"

#include <sys/stat.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/Log.h"
#include "foundation/SmallFile.h"

namespace kivo::diagnostics {
namespace {

using nlohmann::json;

std::string octalMode(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

}  // namespace

void checkLog(const std::optional<std::filesystem::path>& log, Section& section) {
    if (!log) {
        section.add(Mark::warning, "No log: HOME is not set, so the host keeps none",
                    {{"check", "log"}, {"path", json()}, {"present", false}});
        return;
    }
    struct stat facts {};
    if (::stat(log->c_str(), &facts) != 0) {
        section.add(Mark::ok, log->string() + ": no log yet (the host has not run for this user)",
                    {{"check", "log"}, {"path", log->string()}, {"present", false}});
        return;
    }
    const std::string mode = octalMode(facts.st_mode);
    // The log is never larger than its limit; its tail holds every line worth showing.
    const std::string tail =
        foundation::readFileTail(*log, 2 * foundation::LogFile::verboseSizeLimit).value_or("");
    std::vector<std::string> errors;
    std::string lastStart;
    std::istringstream lines(tail);
    for (std::string line; std::getline(lines, line);) {
        if (line.find(" ERROR ") == 23) {
            errors.push_back(line);
        } else if (line.ends_with(" Application launched")) {
            lastStart = line.substr(0, 23);
        }
    }
    const std::size_t first = errors.size() > shownErrorLines ? errors.size() - shownErrorLines : 0;
    const std::vector<std::string> shown(errors.begin() + static_cast<std::ptrdiff_t>(first),
                                         errors.end());
    section.add(mode == "0600" ? Mark::ok : Mark::warning,
                log->string() + ": " + std::to_string(facts.st_size) + " bytes, mode " + mode +
                    (mode == "0600" ? "" : " (the host sets 0600 again on its next line)"),
                {{"check", "log"},
                 {"path", log->string()},
                 {"present", true},
                 {"size", facts.st_size},
                 {"mode", mode},
                 {"last_start", lastStart.empty() ? json() : json(lastStart)},
                 {"errors", shown}});
    section.add(Mark::ok,
                lastStart.empty()
                    ? "No \"Application launched\" line: no browser has started "
                      "the host since the log began"
                    : "Last start of the host (\"Application launched\"): " + lastStart,
                {{"check", "log_start"}});
    for (const std::string& line : shown) {
        section.add(Mark::warning, "Logged: " + line, {{"check", "log_error"}});
    }
}

}  // namespace kivo::diagnostics
