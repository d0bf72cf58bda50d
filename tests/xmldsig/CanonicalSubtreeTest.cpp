#include <libxml/c14n.h>
#include <libxml/parser.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ParsedBothWays.h"
#include "foundation/SigningError.h"
#include "support/TestCases.h"
#include "xmldsig/Canonicalizer.h"
#include "xmldsig/LibxmlErrorCapture.h"
#include "xmldsig/LibxmlResources.h"

namespace kivo::xmldsig {
namespace {

struct Subset {
    xmlNodePtr top;
    xmlNodePtr excluded;
};

// The subset as a visibility callback over the whole document: the reference is libxml2 walking
// every node of it.
int inSubset(void* data, xmlNodePtr node, xmlNodePtr parent) {
    const auto& subset = *static_cast<const Subset*>(data);
    const bool carried = node->type == XML_NAMESPACE_DECL || node->type == XML_ATTRIBUTE_NODE;
    for (xmlNodePtr current = carried ? parent : node; current != nullptr;
         current = current->parent) {
        if (current == subset.excluded) {
            return 0;
        }
        if (current == subset.top) {
            return 1;
        }
    }
    return 0;
}

int appendToString(void* context, const char* buffer, int length) {
    static_cast<std::string*>(context)->append(buffer, static_cast<std::size_t>(length));
    return length;
}

// libxml2's canonical form of the subset from the whole document; none when it fails.
std::optional<std::string> wholeDocumentWalk(xmlDocPtr document, Subset subset) {
    std::string text;
    const LibxmlErrorCapture quiet;
    const OutputBufferHandle output(
        xmlOutputBufferCreateIO(&appendToString, nullptr, &text, nullptr));
    const int result =
        xmlC14NExecute(document, &inSubset, &subset, XML_C14N_1_0, nullptr, 0, output.get());
    return result < 0 ? std::nullopt : std::optional<std::string>(text);
}

std::optional<std::string> subtreeCanonicalizer(Subset subset) {
    std::string text;
    try {
        canonicalizeSubtree(subset.top, subset.excluded, [&text](std::span<const std::uint8_t> p) {
            text.append(reinterpret_cast<const char*>(p.data()), p.size());
        });
    } catch (const foundation::SigningError& error) {
        EXPECT_EQ(error.code(), foundation::error_code::invalidXml);
        return std::nullopt;
    }
    return text;
}

std::vector<xmlNodePtr> elementsOf(xmlNodePtr node) {
    std::vector<xmlNodePtr> elements;
    for (; node != nullptr; node = node->next) {
        if (node->type == XML_ELEMENT_NODE) {
            elements.push_back(node);
            const std::vector<xmlNodePtr> below = elementsOf(node->children);
            elements.insert(elements.end(), below.begin(), below.end());
        }
    }
    return elements;
}

// Every element of each document as the top of a subset, alone and with its first or last child
// element left out (as a Signature is), must canonicalize to the same bytes as libxml2's walk
// over the whole document, or fail where that walk fails. The documents declare, redeclare and
// undeclare namespaces, carry xml: attributes, text and values that need escaping, CR, CDATA,
// comments and processing instructions, entities, and relative namespace URIs.
TEST(CanonicalSubtreeTest, SubtreeAloneMatchesTheWholeDocumentWalk) {
    for (const std::string document : testing::testCases("xmldsig/cases.json", "canonical")) {
        for (const auto& [tree, description] : parsedBothWays(document)) {
            for (const xmlNodePtr top : elementsOf(tree->children)) {
                const std::vector<xmlNodePtr> inside = elementsOf(top->children);
                std::vector<xmlNodePtr> excluded{nullptr};
                if (!inside.empty()) {
                    excluded.push_back(inside.front());
                    excluded.push_back(inside.back());
                }
                for (const xmlNodePtr left : excluded) {
                    SCOPED_TRACE(description + " top " + reinterpret_cast<const char*>(top->name));
                    const Subset subset{top, left};
                    const std::optional<std::string> reference =
                        wholeDocumentWalk(tree.get(), subset);
                    EXPECT_EQ(subtreeCanonicalizer(subset), reference);
                }
            }
        }
    }
}

}  // namespace
}  // namespace kivo::xmldsig
