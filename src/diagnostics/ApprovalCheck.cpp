#include "diagnostics/ApprovalCheck.h"

#include <sys/stat.h>

#include <array>
#include <optional>
#include <string_view>
#include <utility>

#include "platform/PinEntry.h"

namespace kivo::diagnostics {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr std::array<std::pair<std::string_view, std::string_view>, 12> flavours{{
    {"gtk-2", "gtk2"},
    {"gtk2", "gtk2"},
    {"gnome3", "gnome3"},
    {"gnome", "gnome3"},
    {"qt", "qt"},
    {"qt4", "qt"},
    {"qt5", "qt"},
    {"fltk", "fltk"},
    {"x11", "x11"},
    {"curses", "curses"},
    {"tty", "tty"},
    {"emacs", "emacs"},
}};

constexpr const char* graphicalFix =
    "install a graphical pinentry (pinentry-gnome3, pinentry-gtk2 or pinentry-qt) and choose it "
    "with update-alternatives --config pinentry, or set KIVO_PINENTRY to it (docs/approval.md)";

bool isSocket(const fs::path& path) {
    struct stat facts {};
    return ::stat(path.c_str(), &facts) == 0 && S_ISSOCK(facts.st_mode);
}

// The X server's socket for a local display ":N" or ":N.S"; none for a display on another host.
std::optional<fs::path> x11Socket(std::string_view display) {
    if (!display.starts_with(':')) {
        return std::nullopt;
    }
    const std::string_view number = display.substr(1, display.find('.') - 1);
    // Appended piece by piece: GCC 12 at -O3 misreads "X" + number as an overlapping copy.
    std::string socket = "/tmp/.X11-unix/X";
    socket.append(number);
    return fs::path(socket);
}

// Whether a window can be shown from here: a Wayland or local X socket, or a remote X display,
// which cannot be checked from here and is taken on trust.
void checkDisplay(const Surroundings& surroundings, bool graphical, Section& section) {
    const auto wayland = surroundings.nonEmpty("WAYLAND_DISPLAY");
    const auto x11 = surroundings.nonEmpty("DISPLAY");
    std::optional<std::string> reachable;
    if (wayland) {
        const fs::path socket =
            fs::path(*wayland).is_absolute()
                ? fs::path(*wayland)
                : fs::path(surroundings.nonEmpty("XDG_RUNTIME_DIR").value_or("/run/user")) /
                      *wayland;
        if (isSocket(socket)) {
            reachable = "Wayland display " + *wayland;
        }
    }
    if (!reachable && x11) {
        const auto socket = x11Socket(*x11);
        if (!socket || isSocket(*socket)) {
            reachable = "X display " + *x11;
        }
    }
    const json facts = {{"check", "display"},
                        {"display", x11 ? json(*x11) : json()},
                        {"wayland_display", wayland ? json(*wayland) : json()},
                        {"reachable", reachable.has_value()}};
    if (reachable) {
        section.add(Mark::ok, "A window can be shown: " + *reachable, facts);
    } else {
        // Run from a terminal outside the desktop session this says little about the browser's.
        section.add(graphical ? Mark::warning : Mark::ok,
                    "No display reachable from here (DISPLAY and WAYLAND_DISPLAY name no "
                    "socket): the browser's session needs one for the dialog",
                    facts);
    }
}

}  // namespace

std::string pinentryFlavour(const fs::path& program) {
    const std::string name = program.filename().string();
    constexpr std::string_view prefix = "pinentry-";
    if (name.starts_with(prefix)) {
        const std::string_view suffix = std::string_view(name).substr(prefix.size());
        for (const auto& [spelling, flavour] : flavours) {
            if (suffix == spelling) {
                return std::string(flavour);
            }
        }
    }
    return "unknown";
}

bool isTerminalFlavour(const std::string& flavour) {
    return flavour == "curses" || flavour == "tty" || flavour == "emacs";
}

void checkApproval(const Surroundings& surroundings, Section& section,
                   std::vector<Blocker>& blockers) {
    const auto configured = surroundings.nonEmpty("KIVO_PINENTRY");
    const std::string wanted = configured.value_or(platform::defaultPinEntryProgram);
    const std::string source = configured ? "KIVO_PINENTRY" : "PATH";
    const auto program = platform::findExecutable(wanted);
    if (!program) {
        const std::string problem =
            "No pinentry program: " + wanted + " (from " + source + ") is not an executable file";
        section.add(Mark::problem, problem,
                    {{"check", "pinentry"},
                     {"wanted", wanted},
                     {"source", source},
                     {"program", json()},
                     {"resolved", json()},
                     {"flavour", json()}});
        blockers.push_back({problem + ", so nobody can be asked to approve signing",
                            "install pinentry-gnome3 (or another graphical pinentry) or set "
                            "KIVO_PINENTRY (docs/approval.md)"});
        checkDisplay(surroundings, true, section);
        return;
    }
    std::error_code error;
    const fs::path resolved = fs::canonical(*program, error);
    const fs::path shown = error ? *program : resolved;
    const std::string flavour = pinentryFlavour(shown);
    const json facts = {{"check", "pinentry"},        {"wanted", wanted},
                        {"source", source},           {"program", program->string()},
                        {"resolved", shown.string()}, {"flavour", flavour}};
    std::string text = "Pinentry " + program->string() + " (from " + source + ")";
    if (shown != *program) {
        text += ", which is " + shown.string();
    }
    text += ": flavour " + flavour;
    if (isTerminalFlavour(flavour)) {
        section.add(Mark::problem, text + ", which needs a terminal; a browser gives the host none",
                    facts);
        blockers.push_back(
            {"The pinentry that would ask for approval (" + shown.string() +
                 ") works only in a terminal, which a browser does not give the host",
             graphicalFix});
    } else if (flavour == "unknown") {
        section.add(Mark::warning, text + ": cannot tell whether it shows a window", facts);
    } else {
        section.add(Mark::ok, text, facts);
    }
    checkDisplay(surroundings, !isTerminalFlavour(flavour), section);
}

}  // namespace kivo::diagnostics
