#include "xmldsig/DocumentParser.h"

#include <libxml/SAX2.h>
#include <libxml/entities.h>
#include <libxml/uri.h>
#include <libxml/xmlerror.h>

#include <algorithm>
#include <climits>
#include <mutex>
#include <new>
#include <optional>
#include <string>

#include "foundation/Log.h"
#include "foundation/SigningError.h"
#include "xmldsig/LibxmlErrorCapture.h"
#include "xmldsig/LibxmlResources.h"
#include "xmldsig/MarkupBounds.h"
#include "xmldsig/XmlTree.h"

namespace kivo::xmldsig {

namespace {

// No DTD loading, no validation, no blank removal; entities are substituted because Canonical
// XML renders their replacement text. XML_PARSE_HUGE stays off so that libxml2 keeps its limits
// on entity expansion and node sizes. The text is already UTF-8: an encoding declaration is
// ignored, and no encoding is named to the parser, because a named encoding makes libxml2 copy
// the whole input through a converter (twice the document's size, while the tree is built).
constexpr int parseOptions = XML_PARSE_NOENT | XML_PARSE_NONET | XML_PARSE_IGNORE_ENC;

// A warning that still makes a document unusable: an entity that could only come from an
// external DTD (which is never loaded) would stay an unexpanded reference.
bool isEscalatedWarning(int code) {
    return code == XML_WAR_UNDECLARED_ENTITY;
}

bool isRelativeUri(const xmlChar* uri) {
    if (uri == nullptr || *uri == '\0') {
        return false;  // xmlns="" undeclares the default namespace
    }
    const UriHandle parsed(xmlParseURI(reinterpret_cast<const char*>(uri)));
    return parsed == nullptr || parsed->scheme == nullptr;
}

// Canonical XML cannot render a relative namespace URI, and libxml2 only notices that once it
// canonicalizes; finding it here gives the reader a line number.
std::optional<std::string> relativeNamespaceIn(xmlNodePtr root) {
    std::optional<std::string> found;
    walkElements(root, [&found](xmlNodePtr element) {
        for (xmlNsPtr ns = element->nsDef; ns != nullptr; ns = ns->next) {
            if (isRelativeUri(ns->href)) {
                found = "Relative namespace URI '" +
                        std::string(reinterpret_cast<const char*>(ns->href)) +
                        "' is not allowed (line " + std::to_string(xmlGetLineNo(element)) + ")";
                return false;
            }
        }
        return true;
    });
    return found;
}

// What went wrong during one parse. Attached to the parser context, so reports from different
// documents never mix.
struct ParseDiagnostics {
    explicit ParseDiagnostics(std::size_t documentSize) : attributeWork(documentSize) {}

    std::optional<std::string> firstFatal;
    std::optional<std::string> firstError;
    AttributeDeclarationCounter attributeDeclarations;
    EntityGrowth entityGrowth;
    AttributeWork attributeWork;

    void record(const xmlError& error) {
        const bool fatal = error.level == XML_ERR_FATAL || isEscalatedWarning(error.code);
        if (error.level < XML_ERR_ERROR && !fatal) {
            return;
        }
        std::string text =
            libxmlMessageLine(error.message != nullptr ? error.message : "unknown error");
        if (error.line > 0) {
            text += " (line " + std::to_string(error.line) + ")";
        }
        std::optional<std::string>& slot = fatal ? firstFatal : firstError;
        if (!slot) {
            slot = std::move(text);
        }
    }

    void recordFatal(std::string text) {
        if (!firstFatal) {
            firstFatal = std::move(text);
        }
    }

    std::string description() const {
        if (firstFatal) {
            return *firstFatal;
        }
        return firstError.value_or("the document could not be parsed");
    }
};

ParseDiagnostics* diagnosticsOf(void* parserContext) {
    if (parserContext == nullptr) {
        return nullptr;
    }
    return static_cast<ParseDiagnostics*>(static_cast<xmlParserCtxtPtr>(parserContext)->_private);
}

void collectParserError(void* userData, LibxmlErrorReport error) {
    ParseDiagnostics* diagnostics = diagnosticsOf(userData);
    if (diagnostics != nullptr && error != nullptr) {
        diagnostics->record(*error);
    }
}

// Every URI is refused: signing must not read local files or reach the network because a
// document says so.
xmlParserInputPtr refuseExternalResource(const char* url, const char* publicId,
                                         xmlParserCtxtPtr context) {
    ParseDiagnostics* diagnostics = diagnosticsOf(context);
    if (diagnostics != nullptr) {
        const char* name = url != nullptr ? url : (publicId != nullptr ? publicId : "");
        diagnostics->recordFatal(std::string("Refused to load external resource '") + name + "'");
    }
    return nullptr;
}

void stopParsing(void* parserContext, std::string description) {
    if (ParseDiagnostics* diagnostics = diagnosticsOf(parserContext)) {
        diagnostics->recordFatal(std::move(description));
    }
    xmlStopParser(static_cast<xmlParserCtxtPtr>(parserContext));
}

// An entity's replacement text is parsed like the document, so it gets the same check on its
// start tags, before its first use.
void declareEntity(void* parserContext, const xmlChar* name, int type, const xmlChar* publicId,
                   const xmlChar* systemId, xmlChar* content) {
    if (type == XML_INTERNAL_GENERAL_ENTITY && content != nullptr) {
        if (auto overfull = overfullStartTag(reinterpret_cast<const char*>(content))) {
            stopParsing(
                parserContext,
                "entity '" + std::string(reinterpret_cast<const char*>(name)) + "': " + *overfull);
            return;
        }
    }
    xmlSAX2EntityDecl(parserContext, name, type, publicId, systemId, content);
}

void declareAttribute(void* parserContext, const xmlChar* element, const xmlChar* fullName,
                      int type, int defaultType, const xmlChar* defaultValue,
                      xmlEnumerationPtr values) {
    if (defaultValue != nullptr && element != nullptr && fullName != nullptr) {
        if (auto refused = defaultedNamespaceDeclaration(reinterpret_cast<const char*>(element),
                                                         reinterpret_cast<const char*>(fullName))) {
            xmlFreeEnumeration(values);  // owned by the callback, as xmlSAX2AttributeDecl does
            stopParsing(parserContext, std::move(*refused));
            return;
        }
    }
    xmlSAX2AttributeDecl(parserContext, element, fullName, type, defaultType, defaultValue, values);
    ParseDiagnostics* diagnostics = diagnosticsOf(parserContext);
    if (diagnostics != nullptr && element != nullptr) {
        if (auto excess =
                diagnostics->attributeDeclarations.add(reinterpret_cast<const char*>(element))) {
            stopParsing(parserContext, std::move(*excess));
        }
    }
}

// Counts each start tag's attributes before its tree node is made. After a refusal inside an
// entity's replacement text, the document around it stops too.
void startElement(void* parserContext, const xmlChar* localName, const xmlChar* prefix,
                  const xmlChar* uri, int namespaceCount, const xmlChar** namespaces,
                  int attributeCount, int defaultedCount, const xmlChar** attributes) {
    const auto context = static_cast<xmlParserCtxtPtr>(parserContext);
    if (ParseDiagnostics* diagnostics = diagnosticsOf(parserContext)) {
        if (diagnostics->firstFatal) {
            xmlStopParser(context);
            return;
        }
        const long line = context->input != nullptr ? context->input->line : 0;
        if (auto excess = diagnostics->attributeWork.startTag(
                static_cast<std::uint64_t>(std::max(namespaceCount, 0)) +
                    static_cast<std::uint64_t>(std::max(attributeCount, 0)),
                line)) {
            stopParsing(parserContext, std::move(*excess));
            return;
        }
    }
    xmlSAX2StartElementNs(parserContext, localName, prefix, uri, namespaceCount, namespaces,
                          attributeCount, defaultedCount, attributes);
}

// The replacement text of an internal entity of `document`, for counting what references add.
std::optional<std::string_view> internalEntityText(xmlDocPtr document, std::string_view name) {
    const std::string key(name);
    const xmlEntityPtr entity =
        xmlGetDocEntity(document, reinterpret_cast<const xmlChar*>(key.c_str()));
    if (entity == nullptr || entity->content == nullptr ||
        (entity->etype != XML_INTERNAL_GENERAL_ENTITY &&
         entity->etype != XML_INTERNAL_PREDEFINED_ENTITY)) {
        return std::nullopt;
    }
    return std::string_view(reinterpret_cast<const char*>(entity->content),
                            static_cast<std::size_t>(entity->length));
}

// The text that an entity's expansion joins: the text node last added to the element being
// parsed.
std::uint64_t adjoiningTextLength(void* parserContext) {
    const xmlNodePtr element = static_cast<xmlParserCtxtPtr>(parserContext)->node;
    const xmlNodePtr last = element != nullptr ? element->last : nullptr;
    if (last == nullptr || last->type != XML_TEXT_NODE || last->content == nullptr) {
        return 0;
    }
    return static_cast<std::uint64_t>(xmlStrlen(last->content));
}

// Every entity reference is looked up here, also in attribute values and inside other entities;
// once libxml2 has parsed an entity it copies the nodes for later references without parsing
// again, so the growth has to be counted at the lookup.
xmlEntityPtr lookUpEntity(void* parserContext, const xmlChar* name) {
    const xmlEntityPtr entity = xmlSAX2GetEntity(parserContext, name);
    ParseDiagnostics* diagnostics = diagnosticsOf(parserContext);
    const xmlDocPtr document = static_cast<xmlParserCtxtPtr>(parserContext)->myDoc;
    if (entity != nullptr && diagnostics != nullptr && document != nullptr) {
        const auto excess = diagnostics->entityGrowth.reference(
            reinterpret_cast<const char*>(name), adjoiningTextLength(parserContext),
            [document](std::string_view inner) { return internalEntityText(document, inner); });
        if (excess) {
            stopParsing(parserContext, *excess);
        }
    }
    return entity;
}

void installRefusingEntityLoader() {
    static std::once_flag installed;
    std::call_once(installed, [] { xmlSetExternalEntityLoader(&refuseExternalResource); });
}

[[noreturn]] void rejectDocument(const std::string& description) {
    std::string message = "Invalid XML input: " + description;
    foundation::writeLog(foundation::LogLevel::error, message);
    throw foundation::SigningError(foundation::error_code::invalidXml, std::move(message));
}

}  // namespace

DocumentHandle parseXmlDocument(std::string_view text) {
    installRefusingEntityLoader();
    if (text.size() > static_cast<std::size_t>(INT_MAX)) {
        rejectDocument("the document is larger than 2 GiB");
    }
    // libxml2 spends time in the square of a start tag's attributes before any callback runs.
    if (const auto overfull = overfullStartTag(text)) {
        rejectDocument(*overfull);
    }
    ParserContextHandle context(xmlNewParserCtxt());
    if (!context || context->sax == nullptr) {
        throw std::bad_alloc();
    }
    ParseDiagnostics diagnostics(text.size());
    context->_private = &diagnostics;
    context->sax->serror = &collectParserError;
    context->sax->entityDecl = &declareEntity;
    context->sax->attributeDecl = &declareAttribute;
    context->sax->getEntity = &lookUpEntity;
    context->sax->startElementNs = &startElement;

    // A failed encoding conversion is reported without the parser context, through the thread's
    // handlers, which would print it to stderr.
    const LibxmlErrorCapture contextFreeReports;
    DocumentHandle document(xmlCtxtReadMemory(
        context.get(), text.data(), static_cast<int>(text.size()), nullptr, nullptr, parseOptions));
    // A refused external resource does not always stop libxml2, and namespace errors leave the
    // document well-formed in libxml2's sense; both still make the input unusable for signing.
    if (!document || !context->wellFormed || !context->nsWellFormed || diagnostics.firstFatal) {
        rejectDocument(diagnostics.description());
    }
    if (const auto relative = relativeNamespaceIn(xmlDocGetRootElement(document.get()))) {
        rejectDocument(*relative);
    }
    if (const auto excess = excessiveCanonicalizationWork(xmlDocGetRootElement(document.get()))) {
        rejectDocument(*excess);
    }
    return document;
}

}  // namespace kivo::xmldsig
