#include "asn1/X509Extension.h"

#include "asn1/ObjectIdentifiers.h"

namespace kivo::asn1 {

X509Extension::X509Extension(std::shared_ptr<ASN1Object> block) : block_(std::move(block)) {}

std::optional<std::string> X509Extension::extensionOid() const {
    const auto oidNode = block_->childAt(0);
    return oidNode ? oidNode->textValue() : std::nullopt;
}

std::optional<std::string> X509Extension::extensionName() const {
    return oidName(extensionOid().value_or(""));
}

bool X509Extension::isCritical() const {
    if (block_->childCount() < 3) {
        return false;
    }
    return block_->childAt(1)->booleanValue().value_or(false);
}

std::optional<Value> X509Extension::extensionValue() const {
    const auto extnValue = block_->lastChild();
    return extnValue ? extnValue->firstLeafValue() : std::nullopt;
}

std::vector<std::string> X509Extension::valueStrings() const {
    const auto extnValue = block_->lastChild();
    const auto container = extnValue ? extnValue->lastChild() : nullptr;
    std::vector<std::string> strings;
    if (!container || !container->sub()) {
        return strings;
    }
    for (const auto& entry : *container->sub()) {
        if (auto text = entry->textValue()) {
            strings.push_back(std::move(*text));
        }
    }
    return strings;
}

}  // namespace kivo::asn1
