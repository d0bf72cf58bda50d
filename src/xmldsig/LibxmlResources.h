#pragma once

// Owning handles for the libxml2 objects this folder creates; each frees its object with the
// matching libxml2 function.

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/uri.h>
#include <libxml/xpath.h>

#include <memory>

namespace kivo::xmldsig {

// Frees an object with the libxml2 function given.
template <auto freeFunction>
struct FreeWith {
    template <typename Object>
    void operator()(Object* object) const {
        freeFunction(object);
    }
};

// xmlFree is a variable libxml2 may set at run time, so it cannot be a template argument.
struct StringDeleter {
    void operator()(xmlChar* text) const { xmlFree(text); }
};

using DocumentHandle = std::unique_ptr<xmlDoc, FreeWith<xmlFreeDoc>>;
using ParserContextHandle = std::unique_ptr<xmlParserCtxt, FreeWith<xmlFreeParserCtxt>>;
using XPathContextHandle = std::unique_ptr<xmlXPathContext, FreeWith<xmlXPathFreeContext>>;
using XPathObjectHandle = std::unique_ptr<xmlXPathObject, FreeWith<xmlXPathFreeObject>>;
using OutputBufferHandle = std::unique_ptr<xmlOutputBuffer, FreeWith<xmlOutputBufferClose>>;
// A node not (yet) linked into a tree.
using NodeHandle = std::unique_ptr<xmlNode, FreeWith<xmlFreeNode>>;
using UriHandle = std::unique_ptr<xmlURI, FreeWith<xmlFreeURI>>;
using StringHandle = std::unique_ptr<xmlChar, StringDeleter>;

}  // namespace kivo::xmldsig
