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

// Appends the signed document in Canonical XML to `output`, encoded in Base64 as the canonical
// text is produced, so that the text is never held whole beside its encoding. The decoded input
// is gone when this returns, and the tree is being freed aside.
void writeSignedDocumentBase64(XmlData& entry, const certs::CertificateSelection& selection,
                               const KeyValueTexts& keyValue,
                               const std::optional<std::string>& signatureAlgorithm,
                               xmldsig::DocumentRelease& release, std::string& output) {
    xmldsig::XmlSigner signer = [&] {
        const foundation::Bytes bytes = documentBytes(entry);
        foundation::writeDebug(
            [&] { return "XML data to be signed = " + std::string(textView(bytes)); });
        return xmldsig::XmlSigner(textView(bytes));
    }();
    for (const std::string_view filter : signingFilters) {
        signer.signElement(*selection.privateKey, signatureAlgorithm, filter);
        signer.addX509Data(*selection.certificate, filter);
        signer.addRSAKeyValue(keyValue.modulus, keyValue.exponent, filter);
    }
    foundation::Base64Writer writer(output);
    signer.writeCanonicalText([&](std::span<const std::uint8_t> piece) { writer.write(piece); });
    writer.finish();
    release.release(std::move(signer).takeDocument());
}

// Signs one document straight into the answer.
void signDocument(XmlData& entry, const certs::CertificateSelection& selection,
                  const KeyValueTexts& keyValue,
                  const std::optional<std::string>& signatureAlgorithm,
                  xmldsig::DocumentRelease& release, SignResponseWriter& answer) {
    writeLog(LogLevel::info, "Signing XML data");
    const std::string id = entry.id;
    const std::string_view signedBase64 = answer.addDocument(id, [&](std::string& output) {
        writeSignedDocumentBase64(entry, selection, keyValue, signatureAlgorithm, release, output);
    });
    writeLog(LogLevel::info, "Finished signing XML");
    // Our own encoding always decodes.
    foundation::writeDebug([&] {
        return "Signed XML = " +
               std::string(textView(foundation::base64DecodeStrict(signedBase64).value()));
    });
}

// Room in the answer for the documents: their Base64 request text, which is about the size of
// their signed Base64, and the signatures and framing of each.
std::size_t expectedAnswerSize(const std::vector<XmlData>& entries) {
    std::size_t size = 0;
    for (const XmlData& entry : entries) {
        size += entry.data.size() + entry.id.size() + (signaturesAllowance + 2) / 3 * 4 + 32;
    }
    return size;
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
    JsonSignResponse fields;
    fields.certSerial = selection.serial;
    fields.certExpiry = selection.expiry;
    fields.certIssuer = selection.issuer;
    SignResponseWriter writer(fields, expectedAnswerSize(*request.xmlData));
    for (XmlData& entry : *request.xmlData) {
        signDocument(entry, selection, keyValue, request.signatureAlgorithm, release, writer);
    }
    const std::string answer = std::move(writer).finish();
    channel.writeResponseMessage(answer);
}

}  // namespace kivo::protocol
