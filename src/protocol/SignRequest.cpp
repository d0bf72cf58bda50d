#include "protocol/SignRequest.h"

#include <array>

#include "certs/CertificateSelection.h"
#include "certs/Encodings.h"
#include "certs/RsaKey.h"
#include "host/Log.h"
#include "protocol/LazyKeyStore.h"
#include "protocol/SigningError.h"
#include "protocol/Utf8.h"
#include "xmldsig/DocumentRelease.h"
#include "xmldsig/XmlSigner.h"

namespace kivo::protocol {
namespace {

using host::LogLevel;
using host::writeLog;

constexpr std::array<std::string_view, 2> signingFilters{"//CounterpartData", "//RenderedData"};

struct KeyValueTexts {
    std::string modulus;
    std::string exponent;
};

std::string_view textView(const certs::Bytes& bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// The document's UTF-8 bytes; the caller parses them in place rather than from a second copy.
certs::Bytes documentBytes(const XmlData& entry) {
    std::optional<certs::Bytes> bytes = certs::base64DecodeStrict(entry.data);
    if (!bytes) {
        throw SigningError(error_code::invalidXml,
                           "Invalid XML input: data of entry " + entry.id + " is not base64");
    }
    if (!isValidUtf8(textView(*bytes))) {
        throw SigningError(error_code::invalidXml,
                           "Invalid XML input: data of entry " + entry.id + " is not UTF-8");
    }
    return std::move(*bytes);
}

// The signed document in Canonical XML. The decoded input is gone when this returns, and the
// tree is being freed aside while the Base64 answer is built.
std::string signedCanonicalText(const XmlData& entry, const certs::CertificateSelection& selection,
                                const KeyValueTexts& keyValue,
                                const std::optional<std::string>& signatureAlgorithm,
                                xmldsig::DocumentRelease& release) {
    xmldsig::XmlSigner signer = [&] {
        const certs::Bytes bytes = documentBytes(entry);
        host::writeDebug([&] { return "XML data to be signed = " + std::string(textView(bytes)); });
        return xmldsig::XmlSigner(textView(bytes));
    }();
    for (const std::string_view filter : signingFilters) {
        signer.signElement(*selection.privateKey, signatureAlgorithm, filter);
        signer.addX509Data(*selection.certificate, filter);
        signer.addRSAKeyValue(keyValue.modulus, keyValue.exponent, filter);
    }
    std::string text = signer.canonicalText();
    release.release(std::move(signer).takeDocument());
    return text;
}

SignedData signDocument(const XmlData& entry, const certs::CertificateSelection& selection,
                        const KeyValueTexts& keyValue,
                        const std::optional<std::string>& signatureAlgorithm,
                        xmldsig::DocumentRelease& release) {
    writeLog(LogLevel::info, "Signing XML data");
    const std::string canonical =
        signedCanonicalText(entry, selection, keyValue, signatureAlgorithm, release);
    SignedData signedDocument{
        certs::base64Encode(
            std::span(reinterpret_cast<const std::uint8_t*>(canonical.data()), canonical.size())),
        entry.id};
    writeLog(LogLevel::info, "Finished signing XML");
    host::writeDebug([&] { return "Signed XML = " + canonical; });
    return signedDocument;
}

}  // namespace

void handleSignRequest(const JsonRequest& request, MessageChannel& channel,
                       const RequestServices& services) {
    if (!request.userDetails) {
        throw SigningError(error_code::badRequest,
                           "Signing request does not include any user_details");
    }
    if (!request.xmlData) {
        throw SigningError(error_code::badRequest,
                           "Signing request does not include any XML data to sign");
    }
    // The store stays open until every document is signed: the key lives in it.
    LazyKeyStore store(services.openKeyStore);
    const certs::CertificateSelection selection = certs::findSigningCertificate(
        *request.userDetails, store, services.tokenClassId, services.now());
    const certs::RsaPublicKeyComponents key =
        certs::rsaPublicKeyComponents(*selection.parsedCertificate);
    const KeyValueTexts keyValue{certs::base64Encode(key.modulus),
                                 certs::base64Encode(key.exponent)};

    // Outlives the answer, so the last tree is freed while the answer is on its way.
    xmldsig::DocumentRelease release;
    JsonSignResponse response;
    response.signedData.reserve(request.xmlData->size());
    for (const XmlData& entry : *request.xmlData) {
        response.signedData.push_back(
            signDocument(entry, selection, keyValue, request.signatureAlgorithm, release));
    }
    response.certSerial = selection.serial;
    response.certExpiry = selection.expiry;
    response.certIssuer = selection.issuer;
    const std::string answer = encodeResponse(response);
    // The answer holds its own copy of every signed document.
    response.signedData = {};
    channel.writeResponseMessage(answer);
}

}  // namespace kivo::protocol
