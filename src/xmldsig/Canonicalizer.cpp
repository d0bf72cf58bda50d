#include "xmldsig/Canonicalizer.h"

#include <libxml/c14n.h>
#include <libxml/uri.h>
#include <libxml/xmlIO.h>

#include <exception>
#include <new>
#include <utility>
#include <vector>

#include "foundation/Log.h"
#include "foundation/SigningError.h"
#include "xmldsig/LibxmlErrorCapture.h"
#include "xmldsig/LibxmlResources.h"
#include "xmldsig/XmlTree.h"

namespace kivo::xmldsig {

namespace {

struct SinkState {
    const CanonicalSink* sink;
    std::exception_ptr failure;
};

int writeToSink(void* context, const char* buffer, int length) {
    auto& state = *static_cast<SinkState*>(context);
    try {
        (*state.sink)(
            {reinterpret_cast<const std::uint8_t*>(buffer), static_cast<std::size_t>(length)});
    } catch (...) {
        state.failure = std::current_exception();
        return -1;
    }
    return length;
}

// Whether a node lies inside `top` and not inside `excluded`. libxml2 asks about the nodes in
// document order, so the elements on the way down to the last node asked about are kept with
// their answers: each node's answer then follows from its parent's without walking up to the
// top, which in a deep document would cost its depth for every node.
class SubsetMembership {
  public:
    SubsetMembership(xmlNodePtr top, xmlNodePtr excluded) : top_(top), excluded_(excluded) {}

    bool contains(xmlNodePtr node) {
        const bool parentInSubset = parentContains(node->parent);
        const bool inSubset = node != excluded_ && (node == top_ || parentInSubset);
        path_.emplace_back(node, inSubset);
        return inSubset;
    }

  private:
    bool parentContains(xmlNodePtr parent) {
        while (!path_.empty() && path_.back().first != parent) {
            path_.pop_back();
        }
        if (!path_.empty()) {
            return path_.back().second;
        }
        // Not on the kept path (the first question, or a jump): walk up once.
        bool inSubset = false;
        for (xmlNodePtr current = parent; current != nullptr; current = current->parent) {
            if (current == excluded_) {
                break;
            }
            if (current == top_) {
                inSubset = true;
                break;
            }
        }
        path_.emplace_back(parent, inSubset);
        return inSubset;
    }

    xmlNodePtr top_;
    xmlNodePtr excluded_;
    std::vector<std::pair<xmlNodePtr, bool>> path_;
};

// Namespace and attribute nodes go with the element that carries them (libxml2 passes it as
// `parent`).
int isInSubset(void* data, xmlNodePtr node, xmlNodePtr parent) {
    auto& membership = *static_cast<SubsetMembership*>(data);
    if (node == nullptr) {
        return 0;
    }
    xmlNodePtr element = node;
    if (node->type == XML_NAMESPACE_DECL || node->type == XML_ATTRIBUTE_NODE) {
        element = parent;
    }
    return element != nullptr && membership.contains(element) ? 1 : 0;
}

bool isAbsoluteNamespace(const xmlChar* href) {
    if (href == nullptr || *href == '\0') {
        return true;
    }
    const UriHandle uri(xmlParseURI(reinterpret_cast<const char*>(href)));
    if (uri == nullptr || uri->scheme == nullptr || *uri->scheme == '\0') {
        return false;
    }
    const auto scheme = reinterpret_cast<const xmlChar*>(uri->scheme);
    return xmlStrcasecmp(scheme, BAD_CAST "urn") == 0 ||
           xmlStrcasecmp(scheme, BAD_CAST "dav") == 0 ||
           (uri->server != nullptr && *uri->server != '\0');
}

// libxml2's canonicalization visits every element of the document, in the subset or not, and
// fails on a namespace declaration whose URI it takes for relative and on a node that has no
// canonical form (an entity reference, say). True when the tree has none of these, so that
// canonicalizing one subtree alone fails exactly when the walk over the whole document does:
// never. The test mirrors libxml2's own; anything it does not recognise answers false.
bool hasCanonicalForm(xmlNodePtr node) {
    switch (node->type) {
        case XML_ELEMENT_NODE:
        case XML_TEXT_NODE:
        case XML_CDATA_SECTION_NODE:
        case XML_PI_NODE:
        case XML_COMMENT_NODE:
        case XML_DOCUMENT_TYPE_NODE:
        case XML_NOTATION_NODE:
        case XML_DTD_NODE:
        case XML_ELEMENT_DECL:
        case XML_ATTRIBUTE_DECL:
        case XML_ENTITY_DECL:
            return true;
        default:
            return false;
    }
}

bool hasCanonicalChildren(xmlNodePtr parent) {
    for (xmlNodePtr child = parent->children; child != nullptr; child = child->next) {
        if (!hasCanonicalForm(child)) {
            return false;
        }
    }
    return true;
}

bool canonicalizationCannotFail(xmlDocPtr document) {
    return hasCanonicalChildren(reinterpret_cast<xmlNodePtr>(document)) &&
           walkElements(xmlDocGetRootElement(document), [](xmlNodePtr element) {
               for (xmlNsPtr ns = element->nsDef; ns != nullptr; ns = ns->next) {
                   if (!isAbsoluteNamespace(ns->href)) {
                       return false;
                   }
               }
               return hasCanonicalChildren(element);
           });
}

// Cuts the siblings after `node` off the tree for the while: libxml2 then walks `node`'s subtree
// alone, with its parent and so its namespaces and xml: attributes in scope unchanged.
class SiblingsCut {
  public:
    explicit SiblingsCut(xmlNodePtr node) : node_(node), next_(node->next) {
        node_->next = nullptr;
    }
    SiblingsCut(const SiblingsCut&) = delete;
    SiblingsCut& operator=(const SiblingsCut&) = delete;
    ~SiblingsCut() { node_->next = next_; }

  private:
    xmlNodePtr node_;
    xmlNodePtr next_;
};

void canonicalize(xmlDocPtr document, xmlC14NIsVisibleCallback isVisible, void* visibleData,
                  const CanonicalSink& sink) {
    SinkState state{&sink, nullptr};
    const OutputBufferHandle output(
        xmlOutputBufferCreateIO(&writeToSink, nullptr, &state, nullptr));
    if (!output) {
        throw std::bad_alloc();
    }
    const LibxmlErrorCapture errors;
    const int result = xmlC14NExecute(document, isVisible, visibleData, XML_C14N_1_0, nullptr,
                                      /*with_comments=*/0, output.get());
    if (state.failure) {
        std::rethrow_exception(state.failure);
    }
    if (result < 0) {
        std::string message =
            "Invalid XML input: " + errors.firstMessage().value_or("canonicalization failed");
        // Paired with its answer like a parse failure: the log shows why the document was refused.
        foundation::writeLog(foundation::LogLevel::error, message);
        throw foundation::SigningError(foundation::error_code::invalidXml, std::move(message));
    }
}

CanonicalSink appendTo(std::string& text) {
    return [&text](std::span<const std::uint8_t> piece) {
        text.append(reinterpret_cast<const char*>(piece.data()), piece.size());
    };
}

}  // namespace

void canonicalizeSubtree(xmlNodePtr top, xmlNodePtr excluded, const CanonicalSink& sink) {
    SubsetMembership membership(top, excluded);
    if (!canonicalizationCannotFail(top->doc)) {
        // The walk over the whole document reports the failure exactly as libxml2 words it.
        canonicalize(top->doc, &isInSubset, &membership, sink);
        return;
    }
    // Outside the subtree the walk writes nothing and changes none of libxml2's state (an
    // element out of the subset renders no namespace and no attribute), so it is left out:
    // libxml2 gets a view of the document whose one child is `top`.
    xmlDoc subtreeView = *top->doc;
    subtreeView.children = top;
    subtreeView.last = top;
    const SiblingsCut alone(top);
    canonicalize(&subtreeView, &isInSubset, &membership, sink);
}

std::string canonicalSubtreeText(xmlNodePtr top) {
    std::string text;
    canonicalizeSubtree(top, nullptr, appendTo(text));
    return text;
}

void canonicalizeDocument(xmlDocPtr document, const CanonicalSink& sink) {
    canonicalize(document, nullptr, nullptr, sink);
}

std::string canonicalDocumentText(xmlDocPtr document) {
    std::string text;
    canonicalizeDocument(document, appendTo(text));
    return text;
}

}  // namespace kivo::xmldsig
