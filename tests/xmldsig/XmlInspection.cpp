#include "xmldsig/XmlInspection.h"

#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>

#include <memory>

namespace kivo::testing {

std::vector<std::string> valuesAt(const std::string& document, const std::string& xpath) {
    const std::unique_ptr<xmlDoc, void (*)(xmlDocPtr)> doc(
        xmlReadMemory(document.data(), static_cast<int>(document.size()), nullptr, "UTF-8", 0),
        &xmlFreeDoc);
    const std::unique_ptr<xmlXPathContext, void (*)(xmlXPathContextPtr)> context(
        xmlXPathNewContext(doc.get()), &xmlXPathFreeContext);
    xmlXPathRegisterNs(context.get(), BAD_CAST "ds", BAD_CAST "http://www.w3.org/2000/09/xmldsig#");
    xmlXPathRegisterNs(context.get(), BAD_CAST "f2",
                       BAD_CAST "http://www.w3.org/2002/06/xmldsig-filter2");
    const std::unique_ptr<xmlXPathObject, void (*)(xmlXPathObjectPtr)> result(
        doc ? xmlXPathEval(BAD_CAST xpath.c_str(), context.get()) : nullptr, &xmlXPathFreeObject);
    std::vector<std::string> values;
    if (!result || result->type != XPATH_NODESET) {
        ADD_FAILURE() << "cannot inspect " << xpath;
        return values;
    }
    for (int i = 0; result->nodesetval != nullptr && i < result->nodesetval->nodeNr; ++i) {
        xmlChar* text = xmlXPathCastNodeToString(result->nodesetval->nodeTab[i]);
        values.emplace_back(reinterpret_cast<const char*>(text));
        xmlFree(text);
    }
    return values;
}

}  // namespace kivo::testing
