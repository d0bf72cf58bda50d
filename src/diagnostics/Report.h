#pragma once

// What --diagnose found, section by section, and how it is shown: lines of text marked ok,
// warning or problem for a person, or one JSON document for a support tool. Each line carries
// the facts behind it under documented keys (docs/diagnostics.md); the report ends with what
// keeps the host from signing, each with its fix.

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace kivo::diagnostics {

// problem: signing cannot work as things are; warning: it may not, or something is odd.
enum class Mark { ok, warning, problem };

struct Finding {
    Mark mark = Mark::ok;
    std::string text;
    // "check" names what was looked at; the other keys depend on it.
    nlohmann::json facts = nlohmann::json::object();
};

struct Section {
    std::string key;    // the JSON key: "host", "browsers", ...
    std::string title;  // the heading: "Host", "Browsers", ...
    std::vector<Finding> findings;

    Finding& add(Mark mark, std::string text, nlohmann::json facts);
};

// Something that keeps the host from signing, and what to do about it.
struct Blocker {
    std::string problem;
    std::string fix;
};

struct Report {
    std::vector<Section> sections;
    std::vector<Blocker> blockers;

    bool readyToSign() const { return blockers.empty(); }
};

// The sections with their marked lines, then "Ready to sign" or the numbered blockers.
std::string renderText(const Report& report);

// {"ready": ..., "sections": {"host": [{"mark", "text", "check", ...}, ...], ...},
//  "blockers": [{"problem", "fix"}, ...]}
std::string renderJson(const Report& report);

std::string_view markText(Mark mark);

}  // namespace kivo::diagnostics
