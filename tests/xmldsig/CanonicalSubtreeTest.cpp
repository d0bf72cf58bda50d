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
// over the whole document, or fail where that walk fails.
TEST(CanonicalSubtreeTest, SubtreeAloneMatchesTheWholeDocumentWalk) {
    const char* const documents[] = {
        // Namespaces declared, redeclared and undeclared; xml: attributes on ancestors, one
        // overridden on the way down.
        "<a:R xmlns:a=\"urn:a\" xmlns=\"urn:d\" xml:lang=\"en\" xml:space=\"preserve\" x=\"1\">"
        "<B xmlns=\"\" a:x=\"1\"><C xmlns=\"urn:e\" xml:lang=\"fr\"><a:D xmlns:a=\"urn:a2\" "
        "xmlns:b=\"urn:b\">t</a:D><E xmlns=\"urn:d\"/></C></B>\n<F b=\"2\" a:b=\"3\"/></a:R>",
        "<R xmlns=\"urn:a\"><S xmlns=\"\"><T xmlns=\"urn:a\"><U/></T></S><V xmlns=\"urn:a\"/></R>",
        // Attribute values and text that need escaping, CR, CDATA.
        "<R><S b='x\"y' a=\"&amp;&lt;&gt;&quot;&#9;&#10;&#13;\">t&#13;&amp;&lt;&gt;\r\n"
        "<T>&#xD;</T></S><![CDATA[a<b>&\r]]></R>",
        // Processing instructions and comments inside and outside the document element.
        "<?pi before?><!--c--><R><?pi in?><!--c2--><S><?x?><T><!--c3--></T></S></R>"
        "<?pi after?><!--c4-->",
        // Entities: expanded, or kept as references (which the canonicalizer refuses).
        "<!DOCTYPE R [<!ENTITY e \"<S a='1'>ent</S>\"><!ENTITY t \"text&#38;#13;\">]>"
        "<R>&e;<T>&t;<U/></T></R>",
        // A relative namespace URI outside, and inside, the subtree.
        "<R><S><T/></S><U xmlns:r=\"rel/ative\"/></R>",
        "<R xmlns=\"relative\"><S/></R>",
        // The shape the host signs.
        "<Contract xmlns:meta=\"urn:m\" meta:v=\"2\">\n  <meta:H c=\"1\"/>\n  <CounterpartData "
        "xml:lang=\"en\"><X a=\"1\">x</X><Signature xmlns=\"http://www.w3.org/2000/09/xmldsig#\">"
        "<SignedInfo/></Signature></CounterpartData>\n  <RenderedData>AAAA</RenderedData>\n"
        "</Contract>",
    };
    for (const char* document : documents) {
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
