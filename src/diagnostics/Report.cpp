#include "diagnostics/Report.h"

#include <limits>

#include "foundation/LogLine.h"

namespace kivo::diagnostics {
namespace {

// Texts from manifests, certificates and tokens stay on their line, whatever they hold.
std::string oneLine(std::string_view text) {
    std::string line;
    foundation::appendEscaped(line, text, std::numeric_limits<std::size_t>::max());
    return line;
}

}  // namespace

Finding& Section::add(Mark mark, std::string text, nlohmann::json facts) {
    findings.push_back(Finding{mark, std::move(text), std::move(facts)});
    return findings.back();
}

std::string_view markText(Mark mark) {
    switch (mark) {
        case Mark::warning:
            return "warning";
        case Mark::problem:
            return "problem";
        case Mark::ok:
            break;
    }
    return "ok";
}

std::string renderText(const Report& report) {
    std::string text;
    for (const Section& section : report.sections) {
        text += section.title + "\n";
        for (const Finding& finding : section.findings) {
            std::string mark(markText(finding.mark));
            mark.resize(9, ' ');
            text += "  " + mark + oneLine(finding.text) + "\n";
        }
        text += "\n";
    }
    if (report.readyToSign()) {
        return text + "Ready to sign.\n";
    }
    text += "What keeps the host from signing:\n";
    for (std::size_t i = 0; i < report.blockers.size(); ++i) {
        text += "  " + std::to_string(i + 1) + ". " + oneLine(report.blockers[i].problem) + "\n";
        text += "     Fix: " + oneLine(report.blockers[i].fix) + "\n";
    }
    return text;
}

std::string renderJson(const Report& report) {
    // In the order of the text: sections as shown, each line's mark and text before its facts.
    using Ordered = nlohmann::ordered_json;
    Ordered sections = Ordered::object();
    for (const Section& section : report.sections) {
        Ordered lines = Ordered::array();
        for (const Finding& finding : section.findings) {
            Ordered line = {{"mark", markText(finding.mark)}, {"text", finding.text}};
            for (const auto& [key, value] : finding.facts.items()) {
                line[key] = Ordered(value);
            }
            lines.push_back(std::move(line));
        }
        sections[section.key] = std::move(lines);
    }
    Ordered blockers = Ordered::array();
    for (const Blocker& blocker : report.blockers) {
        blockers.push_back({{"problem", blocker.problem}, {"fix", blocker.fix}});
    }
    const Ordered document = {
        {"ready", report.readyToSign()}, {"sections", sections}, {"blockers", blockers}};
    // Texts from manifests and certificates may hold bytes that are not UTF-8.
    return document.dump(2, ' ', false, Ordered::error_handler_t::replace) + "\n";
}

}  // namespace kivo::diagnostics
