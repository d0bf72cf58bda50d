#include "xmldsig/SigningFilter.h"

#include <libxml/xpath.h>

#include <new>
#include <string>

#include "foundation/SigningError.h"
#include "xmldsig/LibxmlErrorCapture.h"
#include "xmldsig/LibxmlResources.h"
#include "xmldsig/WrittenNameTests.h"
#include "xmldsig/XPathError.h"

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

}  // namespace

xmlNodePtr selectSignedElement(xmlDocPtr document, std::string_view signingFilter) {
    const std::string expression(signingFilter);
    const XPathObjectHandle result = evaluate(document, matchNamesAsWritten(signingFilter));
    const xmlNodeSetPtr nodes = result->nodesetval;
    const int count = nodes != nullptr ? nodes->nodeNr : 0;
    if (count != 1) {
        throw foundation::SigningError(foundation::error_code::badDocumentShape,
                                       "XPath signing filter '" + expression + "' returned " +
                                           std::to_string(count) + " results (expecting 1)");
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
