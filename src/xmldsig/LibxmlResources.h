#pragma once

// Owning handles for the libxml2 objects this folder creates; each frees its object with the
// matching libxml2 function.

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/uri.h>
#include <libxml/xpath.h>

#include <memory>

namespace kivo::xmldsig {

struct DocumentDeleter {
    void operator()(xmlDocPtr document) const { xmlFreeDoc(document); }
};
struct ParserContextDeleter {
    void operator()(xmlParserCtxtPtr context) const { xmlFreeParserCtxt(context); }
};
struct XPathContextDeleter {
    void operator()(xmlXPathContextPtr context) const { xmlXPathFreeContext(context); }
};
struct XPathObjectDeleter {
    void operator()(xmlXPathObjectPtr object) const { xmlXPathFreeObject(object); }
};
struct OutputBufferDeleter {
    void operator()(xmlOutputBufferPtr buffer) const { xmlOutputBufferClose(buffer); }
};
struct NodeDeleter {
    void operator()(xmlNodePtr node) const { xmlFreeNode(node); }
};
struct UriDeleter {
    void operator()(xmlURIPtr uri) const { xmlFreeURI(uri); }
};
struct StringDeleter {
    void operator()(xmlChar* text) const { xmlFree(text); }
};

using DocumentHandle = std::unique_ptr<xmlDoc, DocumentDeleter>;
using ParserContextHandle = std::unique_ptr<xmlParserCtxt, ParserContextDeleter>;
using XPathContextHandle = std::unique_ptr<xmlXPathContext, XPathContextDeleter>;
using XPathObjectHandle = std::unique_ptr<xmlXPathObject, XPathObjectDeleter>;
using OutputBufferHandle = std::unique_ptr<xmlOutputBuffer, OutputBufferDeleter>;
// A node not (yet) linked into a tree.
using NodeHandle = std::unique_ptr<xmlNode, NodeDeleter>;
using UriHandle = std::unique_ptr<xmlURI, UriDeleter>;
using StringHandle = std::unique_ptr<xmlChar, StringDeleter>;

}  // namespace kivo::xmldsig
