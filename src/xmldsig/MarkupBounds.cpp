#include "xmldsig/MarkupBounds.h"

#include <algorithm>

#include "xmldsig/XmlTree.h"

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

// Entity values nest no deeper than this in any real document; deeper ones are loops, which the
// parser reports itself.
constexpr int maximumEntityNesting = 64;

std::uint64_t saturatingAdd(std::uint64_t a, std::uint64_t b) {
    constexpr std::uint64_t ceiling = std::uint64_t{1} << 62;
    return std::min(ceiling, std::min(a, ceiling) + std::min(b, ceiling));
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

std::optional<std::string> EntityGrowth::reference(std::string_view name,
                                                   std::uint64_t adjoiningText,
                                                   const Lookup& lookup) {
    const std::uint64_t expanded = expandedLength(name, lookup, 0);
    const std::uint64_t written = name.size() + 2;  // '&', name, ';'
    if (expanded > written) {
        growth_ = saturatingAdd(growth_, expanded - written);
    }
    rescanned_ = saturatingAdd(rescanned_, adjoiningText);
    if (growth_ > maximumEntityGrowth) {
        return "entity references expand the document by more than " +
               std::to_string(maximumEntityGrowth) + " bytes (at '" + std::string(name) + "')";
    }
    if (rescanned_ > maximumEntityTextRescan) {
        return "too many entity references inside long text (at '" + std::string(name) + "')";
    }
    return std::nullopt;
}

// The replacement text's length with the references inside it expanded in turn; character
// references count as written, which is never less than what they stand for.
std::uint64_t EntityGrowth::expandedLength(std::string_view name, const Lookup& lookup, int depth) {
    if (const auto known = expanded_.find(name); known != expanded_.end()) {
        return known->second;
    }
    const std::optional<std::string_view> text = lookup(name);
    if (!text || depth > maximumEntityNesting) {
        return 0;
    }
    std::uint64_t length = 0;
    std::size_t at = 0;
    while (at < text->size()) {
        const std::size_t amp = text->find('&', at);
        const std::size_t semicolon = amp == npos ? npos : text->find(';', amp);
        if (semicolon == npos) {
            length = saturatingAdd(length, text->size() - at);
            break;
        }
        length = saturatingAdd(length, amp - at);
        const std::string_view inner = text->substr(amp + 1, semicolon - amp - 1);
        length = saturatingAdd(length, inner.starts_with('#')
                                           ? semicolon + 1 - amp
                                           : expandedLength(inner, lookup, depth + 1));
        at = semicolon + 1;
    }
    expanded_.emplace(std::string(name), length);
    return length;
}

std::optional<std::string> excessiveCanonicalizationWork(xmlNodePtr root) {
    std::uint64_t work = 0;
    // Namespace declarations on the path from the root.
    std::uint64_t inScope = 0;
    std::optional<std::string> excess;
    walkElements(
        root,
        [&](xmlNodePtr element) {
            const std::uint64_t declared = namespaceDeclarations(element);
            const std::uint64_t attributes = attributeCount(element) + declared;
            inScope += declared;
            work += inScope * inScope + attributes * attributes;
            if (work > maximumCanonicalizationWork) {
                excess =
                    "too many namespace declarations in scope and attributes for Canonical "
                    "XML (line " +
                    std::to_string(xmlGetLineNo(element)) + ")";
                return false;
            }
            return true;
        },
        [&inScope](xmlNodePtr element) { inScope -= namespaceDeclarations(element); });
    return excess;
}

AttributeWork::AttributeWork(std::size_t documentSize)
    : limit_(saturatingAdd(attributeWorkAllowance, attributeWorkPerByte * documentSize)) {}

std::optional<std::string> AttributeWork::startTag(std::uint64_t attributes, long line) {
    work_ = saturatingAdd(work_, attributes * attributes);
    if (work_ > limit_) {
        return "too many attributes supplied by defaults in the DTD (line " + std::to_string(line) +
               ")";
    }
    return std::nullopt;
}

std::optional<std::string> defaultedNamespaceDeclaration(std::string_view element,
                                                         std::string_view attribute) {
    if (attribute != "xmlns" && !attribute.starts_with("xmlns:")) {
        return std::nullopt;
    }
    return "the DTD gives namespace declaration '" + std::string(attribute) + "' of element '" +
           std::string(element) + "' a default value";
}

}  // namespace kivo::xmldsig
