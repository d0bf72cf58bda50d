#include "diagnostics/BrowserTable.h"

#include <sstream>

#include "BuildConfig.h"

namespace kivo::diagnostics {
namespace {

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::istringstream stream(text);
    for (std::string part; std::getline(stream, part, separator);) {
        parts.push_back(part);
    }
    // getline drops an empty last field.
    if (!text.empty() && text.back() == separator) {
        parts.emplace_back();
    }
    return parts;
}

}  // namespace

std::vector<Browser> parseBrowserTable(std::string_view text) {
    std::vector<Browser> browsers;
    std::istringstream lines{std::string(text)};
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line.front() == '#') {
            continue;
        }
        const std::vector<std::string> fields = split(line, '|');
        if (fields.size() < 8 || (fields[2] != "chrome" && fields[2] != "firefox")) {
            continue;
        }
        Browser browser;
        browser.name = fields[0];
        browser.label = fields[1];
        browser.family = fields[2] == "firefox" ? BrowserFamily::firefox : BrowserFamily::chrome;
        browser.userFolder = fields[3];
        browser.systemFolder = fields[4];
        for (const std::string& command : split(fields[5], ' ')) {
            if (!command.empty()) {
                browser.commands.push_back(command);
            }
        }
        browser.flatpakId = fields[6];
        browser.snap = fields[7];
        browsers.push_back(std::move(browser));
    }
    return browsers;
}

const std::vector<Browser>& knownBrowsers() {
    static const std::vector<Browser> browsers = parseBrowserTable(build::browserTable);
    return browsers;
}

}  // namespace kivo::diagnostics
