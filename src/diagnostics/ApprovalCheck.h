#pragma once

// The Approval section: the pinentry program a sign request would run (KIVO_PINENTRY, else
// pinentry on PATH), its flavour once symbolic links and alternatives are followed, and whether
// a display is there for its window. A browser gives the host no terminal, so a pinentry that
// only works in one cannot ask the user.

#include <filesystem>
#include <string>
#include <vector>

#include "diagnostics/Report.h"
#include "diagnostics/Surroundings.h"

namespace kivo::diagnostics {

// "gtk2", "gnome3", "qt", "fltk", "curses", "tty", "emacs"... from a pinentry program's file name
// (pinentry-gtk-2, pinentry-gnome3, pinentry-qt5, ...); "unknown" for any other name.
std::string pinentryFlavour(const std::filesystem::path& program);

// Flavours that need a terminal.
bool isTerminalFlavour(const std::string& flavour);

void checkApproval(const Surroundings& surroundings, Section& section,
                   std::vector<Blocker>& blockers);

}  // namespace kivo::diagnostics
