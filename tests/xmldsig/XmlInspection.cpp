#include "xmldsig/XmlInspection.h"

#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>

#include <memory>

namespace kivo::testing {

namespace {

struct DocDeleter {
    void operator()(xmlDocPtr doc) const { xmlFreeDoc(doc); }
};
struct ContextDeleter {
    void operator()(xmlXPathContextPtr context) const { xmlXPathFreeContext(context); }
};
struct ObjectDeleter {
    void operator()(xmlXPathObjectPtr object) const { xmlXPathFreeObject(object); }
};

}  // namespace

std::vector<std::string> valuesAt(const std::string& document, const std::string& xpath) {
    const std::unique_ptr<xmlDoc, DocDeleter> doc(xmlReadMemory(
        document.data(), static_cast<int>(document.size()), nullptr, "UTF-8", XML_PARSE_NONET));
    if (!doc) {
        ADD_FAILURE() << "not parsable: " << document.substr(0, 200);
        return {};
    }
    const std::unique_ptr<xmlXPathContext, ContextDeleter> context(xmlXPathNewContext(doc.get()));
    xmlXPathRegisterNs(context.get(), BAD_CAST "ds", BAD_CAST "http://www.w3.org/2000/09/xmldsig#");
    xmlXPathRegisterNs(context.get(), BAD_CAST "f2",
                       BAD_CAST "http://www.w3.org/2002/06/xmldsig-filter2");
    const std::unique_ptr<xmlXPathObject, ObjectDeleter> result(
        xmlXPathEval(BAD_CAST xpath.c_str(), context.get()));
    if (!result || result->type != XPATH_NODESET) {
        ADD_FAILURE() << "bad inspection expression " << xpath;
        return {};
    }
    std::vector<std::string> values;
    const xmlNodeSetPtr nodes = result->nodesetval;
    for (int i = 0; nodes != nullptr && i < nodes->nodeNr; ++i) {
        xmlChar* text = xmlXPathCastNodeToString(nodes->nodeTab[i]);
        values.emplace_back(reinterpret_cast<const char*>(text));
        xmlFree(text);
    }
    return values;
}

std::string valueAt(const std::string& document, const std::string& xpath) {
    const std::vector<std::string> values = valuesAt(document, xpath);
    EXPECT_EQ(values.size(), 1u) << xpath;
    return values.empty() ? std::string() : values.front();
}

}  // namespace kivo::testing
