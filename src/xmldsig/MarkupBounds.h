#pragma once

// Bounds on markup whose cost in libxml2 grows with the square of its amount: the attributes of
// one start tag (duplicate checks while parsing, sorting in Canonical XML), the attributes
// declared for one element type, and the namespace declarations in scope (Canonical XML looks
// each one up again for every element). A document past a bound is refused before that cost is
// paid; real documents stay far below them.

#include <libxml/tree.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace kivo::xmldsig {

// Attributes of one element, namespace declarations included.
inline constexpr std::size_t maximumAttributesPerElement = 256;
// Attribute declarations for one element type in the document type declaration.
inline constexpr std::size_t maximumAttributeDeclarationsPerElement = 256;
// Summed over all elements: the square of the namespace declarations in scope plus the square of
// the element's attributes. About a million elements under 32 namespace declarations.
inline constexpr std::uint64_t maximumCanonicalizationWork = std::uint64_t{1} << 30;

// Describes the first start tag in `markup` with more attributes than allowed. `markup` is a
// document or the replacement text of an entity; comments, CDATA sections, processing
// instructions and the document type declaration are passed over.
std::optional<std::string> overfullStartTag(std::string_view markup);

// Counts attribute declarations per element type as the parser reports them.
class AttributeDeclarationCounter {
  public:
    // Describes the excess once `element` has more declarations than allowed.
    std::optional<std::string> add(std::string_view element);

  private:
    std::map<std::string, std::size_t, std::less<>> counts_;
};

// Describes the excess when canonicalizing the tree under `root` would need more work than
// allowed.
std::optional<std::string> excessiveCanonicalizationWork(xmlNodePtr root);

}  // namespace kivo::xmldsig
