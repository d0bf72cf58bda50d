#pragma once

// The browsers the host knows, from the table register-browsers.sh reads
// (packaging/browsers.conf, built into the host): one line per browser, fields separated by "|",
// "#" starting a comment line.

#include <string>
#include <string_view>
#include <vector>

namespace kivo::diagnostics {

// The manifest's kind: chrome lists allowed_origins, firefox allowed_extensions.
enum class BrowserFamily { chrome, firefox };

struct Browser {
    std::string name;   // as register-browsers.sh --browser takes it
    std::string label;  // "Google Chrome"
    BrowserFamily family = BrowserFamily::chrome;
    // Below ${XDG_CONFIG_HOME:-~/.config} when it starts with "@C/", below HOME with "@H/".
    std::string userFolder;
    std::string systemFolder;
    // Programs on PATH that mean the browser is installed.
    std::vector<std::string> commands;
    std::string flatpakId;  // empty: none
    std::string snap;       // empty: none
};

// The browsers of a table text, in its order; a line with too few fields or an unknown family is
// left out.
std::vector<Browser> parseBrowserTable(std::string_view text);

// The table built into the host.
const std::vector<Browser>& knownBrowsers();

}  // namespace kivo::diagnostics
