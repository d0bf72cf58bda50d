#pragma once

// One node of a decoded ASN.1 tree. A node owns its children through `sub`; its `parent` link
// never keeps the parent alive. Always held by std::shared_ptr. The decoder fills nodes in and
// nothing changes them afterwards.

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "asn1/ASN1Identifier.h"
#include "asn1/ASN1Value.h"

namespace kivo::asn1 {

class ASN1Object {
  public:
    using Children = std::vector<std::shared_ptr<ASN1Object>>;

    // Content octets without identifier and length; absent for non-universal primitives.
    const std::optional<Bytes>& rawValue() const { return rawValue_; }
    void setRawValue(std::optional<Bytes> rawValue) { rawValue_ = std::move(rawValue); }

    // Decoded value of a primitive node; absent for constructed nodes, NULL, OCTET STRINGs whose
    // contents decoded as DER, and contents that could not be decoded.
    const std::optional<Value>& value() const { return value_; }
    void setValue(std::optional<Value> value) { value_.swap(value); }

    std::optional<ASN1Identifier> identifier() const { return identifier_; }
    void setIdentifier(std::optional<ASN1Identifier> identifier) { identifier_ = identifier; }

    // Children in input order; absent on primitive nodes other than re-decoded OCTET STRINGs.
    const std::optional<Children>& sub() const { return sub_; }
    void setSub(std::optional<Children> sub) { sub_ = std::move(sub); }

    // Empty when there is none or the parent has been released.
    std::shared_ptr<ASN1Object> parent() const { return parent_.lock(); }
    void setParent(const std::shared_ptr<ASN1Object>& parent) { parent_ = parent; }

    // The child at `index`, nullptr when `sub` is absent or the index is out of range.
    std::shared_ptr<ASN1Object> childAt(std::ptrdiff_t index) const;
    // The last child, nullptr when there is none.
    std::shared_ptr<ASN1Object> lastChild() const;
    // Length of `sub`, 0 when absent.
    std::size_t childCount() const;

    // First descendant (pre-order, the node itself excluded) that is an OBJECT IDENTIFIER whose
    // text is `oid`. Any node whose tag number field is 6 counts as an OBJECT IDENTIFIER and is
    // never descended into. nullptr when there is no hit.
    std::shared_ptr<ASN1Object> findOid(std::string_view oid) const;

    // treeText with an empty indent.
    std::string description() const;
    // One line per node, children indented four more spaces and wrapped in braces.
    std::string treeText(std::string_view indent) const;

    // The value of the node reached by following child 0 while there is one.
    std::optional<Value> firstLeafValue() const;

    // The value as one type; none when absent or of another type.
    std::optional<std::string> textValue() const { return textOf(value_); }
    std::optional<Bytes> bytesValue() const { return bytesOf(value_); }
    std::optional<bool> booleanValue() const { return booleanOf(value_); }
    std::optional<TimePoint> timeValue() const { return timeOf(value_); }

  private:
    std::optional<Bytes> rawValue_;
    std::optional<Value> value_;
    std::optional<ASN1Identifier> identifier_;
    std::optional<Children> sub_;
    std::weak_ptr<ASN1Object> parent_;
};

}  // namespace kivo::asn1
