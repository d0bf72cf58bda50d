#include "xmldsig/XmlTree.h"

#include <climits>
#include <new>
#include <stdexcept>

#include "xmldsig/LibxmlResources.h"

namespace kivo::xmldsig {

namespace {

const xmlChar* xmlText(const std::string& text) {
    return reinterpret_cast<const xmlChar*>(text.c_str());
}

std::string_view view(const xmlChar* text) {
    return text != nullptr ? std::string_view(reinterpret_cast<const char*>(text))
                           : std::string_view();
}

template <typename Node>
Node* checkedAllocation(Node* node) {
    if (node == nullptr) {
        throw std::bad_alloc();
    }
    return node;
}

}  // namespace

bool hasQualifiedName(xmlNodePtr node, std::string_view name) {
    if (node == nullptr || node->type != XML_ELEMENT_NODE) {
        return false;
    }
    const std::string_view prefix = node->ns != nullptr ? view(node->ns->prefix) : "";
    if (prefix.empty()) {
        return view(node->name) == name;
    }
    return name.size() == prefix.size() + 1 + view(node->name).size() && name.starts_with(prefix) &&
           name[prefix.size()] == ':' && name.ends_with(view(node->name));
}

xmlNodePtr firstChildNamed(xmlNodePtr parent, std::string_view name) {
    for (xmlNodePtr child = parent->children; child != nullptr; child = child->next) {
        if (hasQualifiedName(child, name)) {
            return child;
        }
    }
    return nullptr;
}

xmlNodePtr lastChildNamed(xmlNodePtr parent, std::string_view name) {
    for (xmlNodePtr child = parent->last; child != nullptr; child = child->prev) {
        if (hasQualifiedName(child, name)) {
            return child;
        }
    }
    return nullptr;
}

xmlNodePtr firstChildInNamespace(xmlNodePtr parent, std::string_view localName,
                                 std::string_view namespaceUri) {
    for (xmlNodePtr child = parent->children; child != nullptr; child = child->next) {
        if (child->type == XML_ELEMENT_NODE && view(child->name) == localName &&
            child->ns != nullptr && view(child->ns->href) == namespaceUri) {
            return child;
        }
    }
    return nullptr;
}

std::optional<std::string> attributeValue(xmlNodePtr element, std::string_view name) {
    const std::string attributeName(name);
    const StringHandle value(xmlGetNoNsProp(element, xmlText(attributeName)));
    if (value == nullptr) {
        return std::nullopt;
    }
    return std::string(view(value.get()));
}

NodeHandle newElementUnder(xmlNodePtr parent, std::string_view name) {
    // An element in the scope of xmlns="" is in no namespace, as the parser would make it.
    xmlNsPtr defaultNamespace = xmlSearchNs(parent->doc, parent, nullptr);
    if (defaultNamespace != nullptr && view(defaultNamespace->href).empty()) {
        defaultNamespace = nullptr;
    }
    const std::string elementName(name);
    return NodeHandle(checkedAllocation(
        xmlNewDocNode(parent->doc, defaultNamespace, xmlText(elementName), nullptr)));
}

void declareDefaultNamespace(xmlNodePtr element, std::string_view namespaceUri) {
    const std::string uri(namespaceUri);
    xmlNsPtr declaration = checkedAllocation(xmlNewNs(element, xmlText(uri), nullptr));
    xmlSetNs(element, declaration);
}

void setAttribute(xmlNodePtr element, std::string_view name, std::string_view value) {
    const std::string attributeName(name);
    const std::string attributeValue(value);
    checkedAllocation(
        xmlSetNsProp(element, nullptr, xmlText(attributeName), xmlText(attributeValue)));
}

xmlNodePtr appendChild(xmlNodePtr parent, NodeHandle child) {
    if (xmlAddChild(parent, child.get()) == nullptr) {
        throw std::runtime_error("could not add a node to the XML tree");
    }
    return child.release();
}

xmlNodePtr appendElement(xmlNodePtr parent, std::string_view name) {
    return appendChild(parent, newElementUnder(parent, name));
}

void replaceText(xmlNodePtr element, std::string_view text) {
    if (text.size() > static_cast<std::size_t>(INT_MAX)) {
        throw std::length_error("text too long for an XML text node");
    }
    xmlNodePtr child = element->children;
    while (child != nullptr) {
        xmlNodePtr next = child->next;
        xmlUnlinkNode(child);
        xmlFreeNode(child);
        child = next;
    }
    NodeHandle textNode(checkedAllocation(
        xmlNewDocTextLen(element->doc, reinterpret_cast<const xmlChar*>(text.data()),
                         static_cast<int>(text.size()))));
    appendChild(element, std::move(textNode));
}

}  // namespace kivo::xmldsig
