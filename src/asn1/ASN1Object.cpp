#include "asn1/ASN1Object.h"

#include <algorithm>
#include <cctype>

#include "asn1/ObjectIdentifiers.h"

namespace kivo::asn1 {

namespace {

constexpr std::uint8_t objectIdentifierTagField = 6;

std::string upperCased(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

bool countsAsOid(const ASN1Object& node) {
    const auto identifier = node.identifier();
    return identifier.has_value() && identifier->tagNumberField() == objectIdentifierTagField;
}

// The OID name shown after a universal OBJECT IDENTIFIER's value, if the table knows one.
std::optional<std::string> oidNameFor(const ASN1Object& node) {
    const auto identifier = node.identifier();
    if (!identifier || identifier->rawValue() >= 0x40 ||
        identifier->tagNumber() != ASN1Identifier::TagNumber::objectIdentifier) {
        return std::nullopt;
    }
    const auto text = node.textValue();
    return text ? oidName(*text) : std::nullopt;
}

}  // namespace

std::shared_ptr<ASN1Object> ASN1Object::childAt(std::ptrdiff_t index) const {
    if (!sub_ || index < 0 || static_cast<std::size_t>(index) >= sub_->size()) {
        return nullptr;
    }
    return (*sub_)[static_cast<std::size_t>(index)];
}

std::shared_ptr<ASN1Object> ASN1Object::lastChild() const {
    if (!sub_ || sub_->empty()) {
        return nullptr;
    }
    return sub_->back();
}

std::size_t ASN1Object::childCount() const {
    return sub_ ? sub_->size() : 0;
}

std::shared_ptr<ASN1Object> ASN1Object::findOid(std::string_view oid) const {
    if (!sub_) {
        return nullptr;
    }
    for (const auto& child : *sub_) {
        if (countsAsOid(*child)) {
            if (child->textValue() == oid) {
                return child;
            }
            continue;
        }
        if (auto hit = child->findOid(oid)) {
            return hit;
        }
    }
    return nullptr;
}

std::string ASN1Object::description() const {
    return treeText("");
}

std::string ASN1Object::treeText(std::string_view indent) const {
    std::string text(indent);
    if (identifier_) {
        text += upperCased(identifier_->description());
    }
    if (value_) {
        text += " : " + valueText(*value_);
    }
    if (const auto name = oidNameFor(*this)) {
        text += " (" + *name + ")";
    }
    const bool hasChildren = sub_ && !sub_->empty();
    if (hasChildren) {
        text += " {";
    }
    text += '\n';
    if (hasChildren) {
        const std::string childIndent = std::string(indent) + "    ";
        for (const auto& child : *sub_) {
            text += child->treeText(childIndent);
        }
        text += std::string(indent) + "}\n";
    }
    return text;
}

std::optional<Value> ASN1Object::firstLeafValue() const {
    const ASN1Object* node = this;
    while (node->sub_ && !node->sub_->empty()) {
        node = node->sub_->front().get();
    }
    return node->value_;
}

}  // namespace kivo::asn1
