#include "xmldsig/Canonicalizer.h"

#include <libxml/c14n.h>
#include <libxml/xmlIO.h>

#include <exception>
#include <new>

#include "protocol/SigningError.h"
#include "xmldsig/LibxmlErrorCapture.h"
#include "xmldsig/LibxmlResources.h"

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

struct SubsetBounds {
    xmlNodePtr top;
    xmlNodePtr excluded;
};

// A node belongs to the subset when it lies inside `top` and not inside `excluded`; namespace
// and attribute nodes go with the element that carries them (libxml2 passes it as `parent`).
int isInSubset(void* data, xmlNodePtr node, xmlNodePtr parent) {
    const auto& bounds = *static_cast<const SubsetBounds*>(data);
    if (node == nullptr) {
        return 0;
    }
    xmlNodePtr element = node;
    if (node->type == XML_NAMESPACE_DECL || node->type == XML_ATTRIBUTE_NODE) {
        element = parent;
    }
    for (xmlNodePtr current = element; current != nullptr; current = current->parent) {
        if (current == bounds.excluded) {
            return 0;
        }
        if (current == bounds.top) {
            return 1;
        }
    }
    return 0;
}

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
        throw protocol::SigningError(
            protocol::error_code::invalidXml,
            "Invalid XML input: " + errors.firstMessage().value_or("canonicalization failed"));
    }
}

CanonicalSink appendTo(std::string& text) {
    return [&text](std::span<const std::uint8_t> piece) {
        text.append(reinterpret_cast<const char*>(piece.data()), piece.size());
    };
}

}  // namespace

void canonicalizeSubtree(xmlNodePtr top, xmlNodePtr excluded, const CanonicalSink& sink) {
    SubsetBounds bounds{top, excluded};
    canonicalize(top->doc, &isInSubset, &bounds, sink);
}

std::string canonicalSubtreeText(xmlNodePtr top) {
    std::string text;
    canonicalizeSubtree(top, nullptr, appendTo(text));
    return text;
}

std::string canonicalDocumentText(xmlDocPtr document) {
    std::string text;
    canonicalize(document, nullptr, nullptr, appendTo(text));
    return text;
}

}  // namespace kivo::xmldsig
