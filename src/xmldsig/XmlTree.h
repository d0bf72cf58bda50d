#pragma once

// Small element operations on a libxml2 tree. Names are matched as written (prefix included), and
// new unprefixed elements get the namespace that a reader of the serialized tree would give
// them, so the tree in memory and its canonical text always agree.

#include <libxml/tree.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "xmldsig/LibxmlResources.h"

namespace kivo::xmldsig {

// Visits the elements of the subtree at `root` (itself included) in document order, without
// recursion, so that a deep document cannot exhaust the stack. `enter(element)` returns false to
// stop the walk; `leave(element)` follows the element's last descendant. False when stopped.
template <typename Enter, typename Leave>
bool walkElements(xmlNodePtr root, Enter&& enter, Leave&& leave) {
    xmlNodePtr node = root;
    while (node != nullptr) {
        if (node->type == XML_ELEMENT_NODE) {
            if (!enter(node)) {
                return false;
            }
            if (node->children != nullptr) {
                node = node->children;
                continue;
            }
            leave(node);
        }
        // Only elements are descended into, so every parent on the way up is one.
        while (node != root && node->next == nullptr) {
            node = node->parent;
            leave(node);
        }
        node = node == root ? nullptr : node->next;
    }
    return true;
}

template <typename Enter>
bool walkElements(xmlNodePtr root, Enter&& enter) {
    return walkElements(root, std::forward<Enter>(enter), [](xmlNodePtr) {});
}

// True for an element whose qualified name is `name` ("ds:Signature" is not "Signature").
bool hasQualifiedName(xmlNodePtr node, std::string_view name);

xmlNodePtr firstChildNamed(xmlNodePtr parent, std::string_view name);
xmlNodePtr lastChildNamed(xmlNodePtr parent, std::string_view name);

// First child element with this local name in this namespace.
xmlNodePtr firstChildInNamespace(xmlNodePtr parent, std::string_view localName,
                                 std::string_view namespaceUri);

// Value of the attribute `name` that is in no namespace, or none when there is no such attribute.
std::optional<std::string> attributeValue(xmlNodePtr element, std::string_view name);

// A new unprefixed element, not yet in the tree, in the default namespace in scope at `parent`.
NodeHandle newElementUnder(xmlNodePtr parent, std::string_view name);

// Declares `namespaceUri` as the default namespace on `element` and puts `element` in it.
void declareDefaultNamespace(xmlNodePtr element, std::string_view namespaceUri);

void setAttribute(xmlNodePtr element, std::string_view name, std::string_view value);

// Appends `child` as the last child of `parent`, which then owns it, and returns it.
xmlNodePtr appendChild(xmlNodePtr parent, NodeHandle child);

// newElementUnder + appendChild.
xmlNodePtr appendElement(xmlNodePtr parent, std::string_view name);

// Replaces the whole content of `element` with one text node holding `text` literally (an "&"
// in it stays a character, never an entity reference).
void replaceText(xmlNodePtr element, std::string_view text);

}  // namespace kivo::xmldsig
