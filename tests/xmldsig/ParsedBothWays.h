#pragma once

// A test document parsed both ways a tree can hold entities: expanded (as the host parses) and
// kept as entity reference nodes.

#include <libxml/parser.h>

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "xmldsig/LibxmlResources.h"

namespace kivo::xmldsig {

struct ParsedTree {
    DocumentHandle tree;
    std::string description;  // the document and how it was parsed, for failure messages
};

inline std::vector<ParsedTree> parsedBothWays(std::string_view document) {
    std::vector<ParsedTree> trees;
    for (const int options : {static_cast<int>(XML_PARSE_NOENT), 0}) {
        DocumentHandle tree(xmlReadMemory(document.data(), static_cast<int>(document.size()),
                                          nullptr, nullptr, options));
        if (tree == nullptr) {
            ADD_FAILURE() << "not well-formed: " << document;
            continue;
        }
        trees.push_back({std::move(tree),
                         std::string(document) +
                             (options != 0 ? " (entities expanded)" : " (entity references)")});
    }
    return trees;
}

}  // namespace kivo::xmldsig
