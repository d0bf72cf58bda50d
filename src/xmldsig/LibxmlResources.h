#pragma once

// Owning handles for the libxml2 objects this folder creates; each frees its object with the
// matching libxml2 function.

#include <libxml/parser.h>
#include <libxml/tree.h>
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

using DocumentHandle = std::unique_ptr<xmlDoc, DocumentDeleter>;
using ParserContextHandle = std::unique_ptr<xmlParserCtxt, ParserContextDeleter>;
using XPathContextHandle = std::unique_ptr<xmlXPathContext, XPathContextDeleter>;
using XPathObjectHandle = std::unique_ptr<xmlXPathObject, XPathObjectDeleter>;
using OutputBufferHandle = std::unique_ptr<xmlOutputBuffer, OutputBufferDeleter>;

}  // namespace kivo::xmldsig
