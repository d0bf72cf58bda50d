#include "protocol/SignRequest.h"

#include <array>

#include "certs/CertificateSelection.h"
#include "certs/RsaKey.h"
#include "foundation/Encodings.h"
#include "foundation/Log.h"
#include "foundation/SigningError.h"
#include "foundation/Utf8.h"
#include "protocol/LazyKeyStore.h"
#include "protocol/SigningApproval.h"
#include "xmldsig/DocumentRelease.h"
#include "xmldsig/XmlSigner.h"

namespace kivo::protocol {

using foundation::isValidUtf8;
using foundation::SigningError;
namespace error_code = foundation::error_code;
namespace {

using foundation::LogLevel;
using foundation::writeLog;

constexpr std::array<std::string_view, 2> signingFilters{"//CounterpartData", "//RenderedData"};

struct KeyValueTexts {
    std::string modulus;
    std::string exponent;
};

std::string_view textView(const foundation::Bytes& bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// The document's UTF-8 bytes; the caller parses them in place rather than from a second copy.
// The entry's Base64 text is released once decoded.
foundation::Bytes documentBytes(XmlData& entry) {
    std::optional<foundation::Bytes> bytes = foundation::base64DecodeStrict(entry.data);
    std::string().swap(entry.data);
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

// Room beside the document for its two signatures; Canonical XML rarely adds more.
constexpr std::size_t signaturesAllowance = 32 * 1024;

// The signed document in Canonical XML, encoded in Base64 as the canonical text is produced, so
// that the text is never held whole beside its encoding. The decoded input is gone when this
// returns, and the tree is being freed aside.
std::string signedDocumentBase64(XmlData& entry, const certs::CertificateSelection& selection,
                                 const KeyValueTexts& keyValue,
                                 const std::optional<std::string>& signatureAlgorithm,
                                 xmldsig::DocumentRelease& release) {
    std::size_t documentSize = 0;
    xmldsig::XmlSigner signer = [&] {
        const foundation::Bytes bytes = documentBytes(entry);
        foundation::writeDebug(
            [&] { return "XML data to be signed = " + std::string(textView(bytes)); });
        documentSize = bytes.size();
        return xmldsig::XmlSigner(textView(bytes));
    }();
    for (const std::string_view filter : signingFilters) {
        signer.signElement(*selection.privateKey, signatureAlgorithm, filter);
        signer.addX509Data(*selection.certificate, filter);
        signer.addRSAKeyValue(keyValue.modulus, keyValue.exponent, filter);
    }
    std::string encoded;
    encoded.reserve((documentSize + signaturesAllowance + 2) / 3 * 4);
    foundation::Base64Writer writer(encoded);
    signer.writeCanonicalText([&](std::span<const std::uint8_t> piece) { writer.write(piece); });
    writer.finish();
    release.release(std::move(signer).takeDocument());
    return encoded;
}

SignedData signDocument(XmlData& entry, const certs::CertificateSelection& selection,
                        const KeyValueTexts& keyValue,
                        const std::optional<std::string>& signatureAlgorithm,
                        xmldsig::DocumentRelease& release) {
    writeLog(LogLevel::info, "Signing XML data");
    SignedData signedDocument{
        signedDocumentBase64(entry, selection, keyValue, signatureAlgorithm, release), entry.id};
    writeLog(LogLevel::info, "Finished signing XML");
    // Our own encoding always decodes.
    foundation::writeDebug([&] {
        return "Signed XML = " +
               std::string(textView(foundation::base64DecodeStrict(signedDocument.data).value()));
    });
    return signedDocument;
}

}  // namespace

void handleSignRequest(JsonRequest request, MessageChannel& channel,
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
        *request.userDetails, store, services.tokenClassId,
        std::chrono::floor<std::chrono::milliseconds>(services.now()));
    const certs::RsaPublicKeyComponents key =
        certs::rsaPublicKeyComponents(*selection.parsedCertificate);
    const KeyValueTexts keyValue{foundation::base64Encode(key.modulus),
                                 foundation::base64Encode(key.exponent)};
    // The key asks the user before its first signature; the approval covers this request only.
    selection.privateKey->setSigningPurpose(
        signingPurpose(selection, *request.xmlData, services.caller));

    // Outlives the answer, so the last tree is freed while the answer is on its way.
    xmldsig::DocumentRelease release;
    JsonSignResponse response;
    response.signedData.reserve(request.xmlData->size());
    for (XmlData& entry : *request.xmlData) {
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
