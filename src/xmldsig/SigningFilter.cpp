#include "xmldsig/SigningFilter.h"

#include <libxml/xpath.h>

#include <new>
#include <string>

#include "foundation/SigningError.h"
#include "xmldsig/LibxmlErrorCapture.h"
#include "xmldsig/LibxmlResources.h"
#include "xmldsig/WrittenNameTests.h"
#include "xmldsig/XPathError.h"
#include "xmldsig/XmlTree.h"

namespace kivo::xmldsig {

namespace {

XPathObjectHandle evaluate(xmlDocPtr document, const std::string& expression) {
    XPathContextHandle context(xmlXPathNewContext(document));
    if (!context) {
        throw std::bad_alloc();
    }
    context->node = reinterpret_cast<xmlNodePtr>(document);
    // Without a context error callback libxml2 reports through the thread's handlers, with its
    // description of the error; the capture takes the first one.
    const LibxmlErrorCapture errors;
    XPathObjectHandle result(
        xmlXPathEval(reinterpret_cast<const xmlChar*>(expression.c_str()), context.get()));
    if (errors.firstMessage() || !result) {
        throw XPathError(errors.firstMessage().value_or("XPath evaluation failed"));
    }
    if (result->type != XPATH_NODESET) {
        throw XPathError("The expression does not select nodes");
    }
    return result;
}

bool isAsciiNameStart(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

bool isAsciiNameChar(char c) {
    return isAsciiNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

// The name N of a filter that is exactly `//N` with N an unprefixed ASCII name (the host's own
// filters); none for any other filter.
std::optional<std::string_view> descendantNameTest(std::string_view filter) {
    if (!filter.starts_with("//") || filter.size() == 2 || !isAsciiNameStart(filter[2])) {
        return std::nullopt;
    }
    const std::string_view name = filter.substr(2);
    for (const char c : name) {
        if (!isAsciiNameChar(c)) {
            return std::nullopt;
        }
    }
    return name;
}

struct Matches {
    std::size_t count = 0;
    xmlNodePtr first = nullptr;
};

// `//*[name()='N']` without the XPath engine, which builds (and frees) a node set of every node
// of the document for the `//` step. Elements only live below the root element, and like the
// engine the walk does not go inside an entity reference (whose children are the entity's
// declaration). The name compared is the one XPath's name() gives: "prefix:local" when the
// element's namespace has a prefix, else the local name (hasQualifiedName).
Matches elementsWithWrittenName(xmlDocPtr document, std::string_view name) {
    Matches matches;
    walkElements(xmlDocGetRootElement(document), [&](xmlNodePtr element) {
        if (hasQualifiedName(element, name) && matches.count++ == 0) {
            matches.first = element;
        }
        return true;
    });
    return matches;
}

[[noreturn]] void wrongCount(const std::string& expression, std::size_t count) {
    throw foundation::SigningError(foundation::error_code::badDocumentShape,
                                   "XPath signing filter '" + expression + "' returned " +
                                       std::to_string(count) + " results (expecting 1)");
}

}  // namespace

xmlNodePtr selectSignedElement(xmlDocPtr document, std::string_view signingFilter) {
    const std::string expression(signingFilter);
    if (const std::optional<std::string_view> name = descendantNameTest(signingFilter)) {
        const Matches matches = elementsWithWrittenName(document, *name);
        if (matches.count != 1) {
            wrongCount(expression, matches.count);
        }
        return matches.first;
    }
    const XPathObjectHandle result = evaluate(document, matchNamesAsWritten(signingFilter));
    const xmlNodeSetPtr nodes = result->nodesetval;
    const int count = nodes != nullptr ? nodes->nodeNr : 0;
    if (count != 1) {
        wrongCount(expression, static_cast<std::size_t>(count));
    }
    xmlNodePtr node = nodes->nodeTab[0];
    if (node->type != XML_ELEMENT_NODE) {
        throw foundation::SigningError(
            foundation::error_code::badDocumentShape,
            "XPath signing filter '" + expression + "' selected a node that is not an element");
    }
    return node;
}

}  // namespace kivo::xmldsig
