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

// Room the documents' signatures may take in one answer. Each document gets two, whatever its
// size, so without a bound a request of tiny documents would make an answer hundreds of times
// its own size.
constexpr std::size_t signaturesRoomPerAnswer = 32 * 1024 * 1024;

// What every document of the request is signed with.
struct SigningMaterial {
    const certs::CertificateSelection& selection;
    std::string modulus;   // Base64
    std::string exponent;  // Base64
    std::size_t signatureBytes;
    const std::optional<std::string>& algorithm;
};

std::string_view textView(const foundation::Bytes& bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

std::size_t base64Size(std::size_t bytes) {
    return (bytes + 2) / 3 * 4;
}

// What the sign pass does beside signing: the answer's pass releases each entry's Base64 text
// and logs the document; the measuring pass leaves both alone.
enum class Pass { answer, measure };

// The parsed document. The decoded text is gone when this returns: the tree is built in place
// from it, never from a second copy.
xmldsig::XmlSigner parseDocument(XmlData& entry, Pass pass) {
    std::optional<foundation::Bytes> bytes = foundation::base64DecodeStrict(entry.data);
    if (pass == Pass::answer) {
        std::string().swap(entry.data);
    }
    if (!bytes) {
        throw SigningError(error_code::invalidXml,
                           "Invalid XML input: data of entry " + entry.id + " is not base64");
    }
    if (!isValidUtf8(textView(*bytes))) {
        throw SigningError(error_code::invalidXml,
                           "Invalid XML input: data of entry " + entry.id + " is not UTF-8");
    }
    if (pass == Pass::answer) {
        foundation::writeDebug(
            [&] { return "XML data to be signed = " + std::string(textView(*bytes)); });
    }
    return xmldsig::XmlSigner(textView(*bytes));
}

// Adds both signatures made with `key` and hands the canonical text of the signed document to
// `sink`; the tree is then freed aside.
void signParsed(xmldsig::XmlSigner signer, const SigningMaterial& material,
                foundation::PrivateKey& key, xmldsig::DocumentRelease& release,
                const xmldsig::CanonicalSink& sink) {
    for (const std::string_view filter : signingFilters) {
        signer.signElement(key, material.algorithm, filter);
        signer.addX509Data(*material.selection.certificate, filter);
        signer.addRSAKeyValue(material.modulus, material.exponent, filter);
    }
    signer.writeCanonicalText(sink);
    release.release(std::move(signer).takeDocument());
}

// Signs one document straight into the answer, in Base64 as the canonical text is produced, so
// that the text is never held whole beside its encoding.
void signIntoAnswer(XmlData& entry, const SigningMaterial& material,
                    xmldsig::DocumentRelease& release, SignResponseWriter& answer) {
    writeLog(LogLevel::info, "Signing XML data");
    const std::string_view signedBase64 = answer.addDocument(entry.id, [&](std::string& output) {
        foundation::Base64Writer writer(output);
        signParsed(parseDocument(entry, Pass::answer), material, *material.selection.privateKey,
                   release, [&](std::span<const std::uint8_t> piece) { writer.write(piece); });
        writer.finish();
    });
    writeLog(LogLevel::info, "Finished signing XML");
    // Our own encoding always decodes.
    foundation::writeDebug([&] {
        return "Signed XML = " +
               std::string(textView(foundation::base64DecodeStrict(signedBase64).value()));
    });
}

// A key that signs nothing and asks nobody: its signatures are zeros of the length the real
// key's have, so a document signed with it has the size it will have when signed for real.
class SizingKey final : public foundation::PrivateKey {
  public:
    SizingKey(const foundation::PrivateKey& key, std::size_t signatureBytes)
        : key_(key), signatureBytes_(signatureBytes) {}
    bool isAlgorithmSupported(foundation::SignatureAlgorithm algorithm) const override {
        return key_.isAlgorithmSupported(algorithm);
    }
    foundation::Bytes sign(foundation::SignatureAlgorithm, std::span<const std::uint8_t>) override {
        return foundation::Bytes(signatureBytes_, 0);
    }

  private:
    const foundation::PrivateKey& key_;
    std::size_t signatureBytes_;
};

// Refuses, before anyone is asked, a request whose answer would be larger than `limit`: every
// document is signed with a sizing key and only the size of its canonical text is kept. A
// document that cannot be signed fails here, also before anyone is asked.
void checkAnswerSize(std::vector<XmlData>& documents, const SigningMaterial& material,
                     const JsonSignResponse& fields, std::size_t limit) {
    SizingKey key(*material.selection.privateKey, material.signatureBytes);
    xmldsig::DocumentRelease release;
    SignAnswerMeasure answer(fields);
    for (XmlData& entry : documents) {
        std::size_t canonicalSize = 0;
        signParsed(parseDocument(entry, Pass::measure), material, key, release,
                   [&](std::span<const std::uint8_t> piece) { canonicalSize += piece.size(); });
        answer.addDocument(entry.id, base64Size(canonicalSize));
        if (answer.size() > limit) {
            throw SigningError(error_code::internal,
                               "The signed documents would make an answer larger than the " +
                                   std::to_string(limit) +
                                   " bytes (1 MB) a browser accepts from the host: send fewer "
                                   "documents per request");
        }
    }
}

// An upper bound on what the two signatures add to each document in the answer: the
// certificate, the modulus and the signature value twice each, in Base64, and the markup around
// them with the filter, digest and algorithm texts.
std::size_t signaturesAllowance(const SigningMaterial& material) {
    constexpr std::size_t markup = 2048;
    const std::size_t oneSignature = base64Size(material.selection.certificate->derBytes().size()) +
                                     material.modulus.size() + material.exponent.size() +
                                     base64Size(material.signatureBytes) + markup;
    return base64Size(2 * oneSignature);
}

// Room in the answer for the documents: their Base64 request text, which is about the size of
// their signed Base64, and the signatures and framing of each.
std::size_t expectedAnswerSize(const std::vector<XmlData>& entries, std::size_t allowance) {
    std::size_t size = 0;
    for (const XmlData& entry : entries) {
        size += entry.data.size() + entry.id.size() + allowance + 32;
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
    const SigningMaterial material{selection, foundation::base64Encode(key.modulus),
                                   foundation::base64Encode(key.exponent), key.modulus.size(),
                                   request.signatureAlgorithm};
    std::vector<XmlData>& documents = *request.xmlData;

    JsonSignResponse fields;
    fields.certSerial = selection.serial;
    fields.certExpiry = selection.expiry;
    fields.certIssuer = selection.issuer;
    const std::size_t allowance = signaturesAllowance(material);
    if (documents.size() > signaturesRoomPerAnswer / allowance) {
        throw SigningError(error_code::internal,
                           "Signing request carries " + std::to_string(documents.size()) +
                               " documents, more than the " +
                               std::to_string(signaturesRoomPerAnswer / allowance) +
                               " one answer can hold: send fewer documents per request");
    }
    if (services.answerLimit) {
        checkAnswerSize(documents, material, fields, *services.answerLimit);
    }
    // The key asks the user before its first signature; the approval covers this request only.
    selection.privateKey->setSigningPurpose(signingPurpose(selection, documents, services.caller));

    // Outlives the answer, so the last tree is freed while the answer is on its way.
    xmldsig::DocumentRelease release;
    SignResponseWriter writer(fields, expectedAnswerSize(documents, allowance));
    for (XmlData& entry : documents) {
        signIntoAnswer(entry, material, release, writer);
    }
    const std::string answer = std::move(writer).finish();
    channel.writeResponseMessage(answer);
}

}  // namespace kivo::protocol
