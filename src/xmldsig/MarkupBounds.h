#pragma once

// Bounds on markup whose cost in libxml2 grows faster than its size: the attributes of one start
// tag (duplicate checks while parsing, sorting in Canonical XML), the attributes declared for one
// element type, the namespace declarations in scope (Canonical XML looks each one up again for
// every element), and entity references, whose expansion becomes tree nodes of about thirty
// times its size. A document past a bound is refused before that cost is paid; real documents
// stay far below them.

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
// Attributes of each start tag, defaulted ones and namespace declarations included, squared and
// summed: this much per byte of the document, plus a fixed allowance.
inline constexpr std::uint64_t attributeWorkPerByte = 64;
inline constexpr std::uint64_t attributeWorkAllowance = std::uint64_t{1} << 20;

// How much entity references may add to a document, in bytes: the expanded length of every
// reference less the length of the reference itself, summed.
inline constexpr std::uint64_t maximumEntityGrowth = std::uint64_t{1} << 20;
// libxml2 joins an entity's text to the text before it by measuring and copying that text again,
// so references inside one long run of text cost the square of its length. Bytes rescanned that
// way, summed over all references.
inline constexpr std::uint64_t maximumEntityTextRescan = std::uint64_t{1} << 36;

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

// Adds up the growth of the document through entity references as the parser meets them.
class EntityGrowth {
  public:
    // The replacement text of an entity by name; none for unknown or external entities.
    using Lookup = std::function<std::optional<std::string_view>(std::string_view)>;

    // Accounts one reference to `name` whose expansion joins `adjoiningText` bytes of text;
    // describes the excess once a bound is passed.
    std::optional<std::string> reference(std::string_view name, std::uint64_t adjoiningText,
                                         const Lookup& lookup);

  private:
    std::uint64_t expandedLength(std::string_view name, const Lookup& lookup, int depth);

    std::map<std::string, std::uint64_t, std::less<>> expanded_;
    std::uint64_t growth_ = 0;
    std::uint64_t rescanned_ = 0;
};

// Describes the excess when canonicalizing the tree under `root` would need more work than
// allowed.
std::optional<std::string> excessiveCanonicalizationWork(xmlNodePtr root);

// Counts, as the parser meets each start tag, the square of its attributes and namespace
// declarations, those the DTD supplies by default included: libxml2 compares them pair by pair.
// Written attributes cost their bytes (at most about 52 of this work per byte of document);
// defaulted ones cost nothing in the document, so their work is bounded by the document's size.
class AttributeWork {
  public:
    explicit AttributeWork(std::size_t documentSize);

    // Describes the excess once the bound is passed.
    std::optional<std::string> startTag(std::uint64_t attributes, long line);

  private:
    std::uint64_t limit_;
    std::uint64_t work_ = 0;
};

// Describes a DTD default for a namespace declaration (`attribute` is "xmlns" or "xmlns:..."):
// it would put that declaration on every element of the type at no cost in the document, so it
// is refused. None for any other attribute.
std::optional<std::string> defaultedNamespaceDeclaration(std::string_view element,
                                                         std::string_view attribute);

}  // namespace kivo::xmldsig
