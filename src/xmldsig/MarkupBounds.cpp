#include "xmldsig/MarkupBounds.h"

#include <algorithm>

namespace kivo::xmldsig {

namespace {

constexpr std::size_t npos = std::string_view::npos;

// Index just past the first `terminator` at or after `from`, or the end of `text`.
std::size_t pastTerminator(std::string_view text, std::size_t from, std::string_view terminator) {
    const std::size_t at = text.find(terminator, from);
    return at == npos ? text.size() : at + terminator.size();
}

// Index just past the quoted literal whose opening quote is at `at`.
std::size_t pastLiteral(std::string_view text, std::size_t at) {
    return pastTerminator(text, at + 1, text.substr(at, 1));
}

bool isQuote(char c) {
    return c == '"' || c == '\'';
}

// Index just past the internal subset that starts at `at` (just after its '[').
std::size_t pastInternalSubset(std::string_view text, std::size_t at) {
    while (at < text.size()) {
        const std::string_view rest = text.substr(at);
        if (rest.starts_with("<!--")) {
            at = pastTerminator(text, at + 4, "-->");
        } else if (rest.starts_with("<?")) {
            at = pastTerminator(text, at + 2, "?>");
        } else if (isQuote(text[at])) {
            at = pastLiteral(text, at);
        } else if (text[at] == ']') {
            return at + 1;
        } else {
            ++at;
        }
    }
    return at;
}

// Index just past a declaration such as the document type declaration; `at` is just after "<!".
std::size_t pastDeclaration(std::string_view text, std::size_t at) {
    while (at < text.size()) {
        if (isQuote(text[at])) {
            at = pastLiteral(text, at);
        } else if (text[at] == '[') {
            at = pastInternalSubset(text, at + 1);
        } else if (text[at] == '>') {
            return at + 1;
        } else {
            ++at;
        }
    }
    return at;
}

struct StartTag {
    std::size_t end;  // the index of the '>' (or of a stray '<') that ends it
    std::size_t attributes;
};

// Every attribute of a start tag has exactly one '=' outside quoted values.
StartTag scanStartTag(std::string_view text, std::size_t at) {
    std::size_t attributes = 0;
    for (++at; at < text.size(); ++at) {
        const char c = text[at];
        if (isQuote(c)) {
            at = pastLiteral(text, at) - 1;
        } else if (c == '>' || c == '<') {
            break;
        } else if (c == '=') {
            ++attributes;
        }
    }
    return {at, attributes};
}

std::string describeOverfullTag(std::string_view text, std::size_t at) {
    const std::size_t nameEnd = std::min(text.find_first_of(" \t\r\n/>", at + 1), at + 101);
    const std::string_view name = text.substr(at + 1, nameEnd - at - 1);
    const auto line =
        std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(at), '\n');
    return "element '" + std::string(name) + "' has more than " +
           std::to_string(maximumAttributesPerElement) + " attributes (line " +
           std::to_string(line + 1) + ")";
}

std::uint64_t namespaceDeclarations(xmlNodePtr element) {
    std::uint64_t count = 0;
    for (xmlNsPtr ns = element->nsDef; ns != nullptr; ns = ns->next) {
        ++count;
    }
    return count;
}

std::uint64_t attributeCount(xmlNodePtr element) {
    std::uint64_t count = 0;
    for (xmlAttrPtr attribute = element->properties; attribute != nullptr;
         attribute = attribute->next) {
        ++count;
    }
    return count;
}

}  // namespace

std::optional<std::string> overfullStartTag(std::string_view markup) {
    for (std::size_t at = markup.find('<'); at != npos; at = markup.find('<', at)) {
        const std::string_view rest = markup.substr(at);
        if (rest.starts_with("<!--")) {
            at = pastTerminator(markup, at + 4, "-->");
        } else if (rest.starts_with("<![CDATA[")) {
            at = pastTerminator(markup, at + 9, "]]>");
        } else if (rest.starts_with("<?")) {
            at = pastTerminator(markup, at + 2, "?>");
        } else if (rest.starts_with("<!")) {
            at = pastDeclaration(markup, at + 2);
        } else if (rest.starts_with("</")) {
            at = pastTerminator(markup, at + 2, ">");
        } else {
            const StartTag tag = scanStartTag(markup, at);
            if (tag.attributes > maximumAttributesPerElement) {
                return describeOverfullTag(markup, at);
            }
            at = tag.end;
        }
    }
    return std::nullopt;
}

std::optional<std::string> AttributeDeclarationCounter::add(std::string_view element) {
    auto found = counts_.find(element);
    if (found == counts_.end()) {
        found = counts_.emplace(std::string(element), 0).first;
    }
    if (++found->second > maximumAttributeDeclarationsPerElement) {
        return "more than " + std::to_string(maximumAttributeDeclarationsPerElement) +
               " attributes declared for element '" + std::string(element) + "'";
    }
    return std::nullopt;
}

std::optional<std::string> excessiveCanonicalizationWork(xmlNodePtr root) {
    std::uint64_t work = 0;
    std::uint64_t inScope = 0;
    // Depth-first over the elements without recursion, keeping the count of namespace
    // declarations on the path from the root.
    xmlNodePtr node = root;
    while (node != nullptr) {
        if (node->type == XML_ELEMENT_NODE) {
            const std::uint64_t declared = namespaceDeclarations(node);
            const std::uint64_t attributes = attributeCount(node) + declared;
            inScope += declared;
            work += inScope * inScope + attributes * attributes;
            if (work > maximumCanonicalizationWork) {
                return "too many namespace declarations in scope and attributes for Canonical XML "
                       "(line " +
                       std::to_string(xmlGetLineNo(node)) + ")";
            }
            if (node->children != nullptr) {
                node = node->children;
                continue;
            }
            inScope -= declared;
        }
        while (node != root && node->next == nullptr) {
            node = node->parent;
            inScope -= namespaceDeclarations(node);
        }
        node = node == root ? nullptr : node->next;
    }
    return std::nullopt;
}

}  // namespace kivo::xmldsig
