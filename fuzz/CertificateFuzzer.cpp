// Arbitrary bytes as a certificate: decoding (DER, or PEM when the bytes look like it), then
// every view the certificate search and the key information read; and the same bytes as a
// PKCS#7 container. Only construction may fail, and only with ASN1Exception; every getter must
// answer without crashing.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "asn1/ASN1Error.h"
#include "asn1/Pkcs7Container.h"
#include "asn1/X509Certificate.h"
#include "certs/CertificateSelection.h"
#include "certs/RsaKey.h"
#include "foundation/Log.h"
#include "foundation/SigningError.h"
#include "foundation/Time.h"

namespace {

using kivo::asn1::X509Certificate;

// Keeps results observable so the calls cannot be dropped as dead code.
volatile std::size_t sink = 0;

void touch(std::size_t n) {
    sink = sink + n;
}

void readPublicKey(const X509Certificate& certificate) {
    const auto key = certificate.publicKey();
    if (!key) {
        return;
    }
    touch(key->algorithmOid().value_or("").size());
    if (const auto components = key->rsaComponents()) {
        touch(components->first.size() + components->second.size());
    }
}

void readNames(const X509Certificate& certificate) {
    for (const auto& name : kivo::asn1::ASN1DistinguishedNames::all()) {
        touch(certificate.issuerValue(name).value_or("").size());
        touch(certificate.subjectValue(name).value_or("").size());
    }
}

void readExtensions(const X509Certificate& certificate) {
    touch(certificate.keyUsage().size());
    for (const std::string_view oid :
         {X509Certificate::OID_KeyUsage, X509Certificate::OID_AuthorityKeyIdentifier,
          X509Certificate::OID_ABN}) {
        if (const auto extension = certificate.extensionFor(oid)) {
            touch(extension->block()->description().size());
        }
    }
}

// What the certificate search and the key information do with a parsed certificate.
void useForSigning(const X509Certificate& certificate) {
    kivo::certs::UserDetails signer;
    signer.name = certificate.subjectValue(kivo::asn1::ASN1DistinguishedNames::commonName);
    signer.email = certificate.subjectValue(kivo::asn1::ASN1DistinguishedNames::emailAddress);
    signer.abn = "51824753556";
    signer.aki = std::vector<std::string>{"00", "0A1B2C"};
    touch(kivo::certs::isCandidate(certificate, signer) ? 1 : 0);
    if (const auto notAfter = certificate.notAfter()) {
        touch(kivo::foundation::formatTimestamp(*notAfter).size());
    }
    try {
        const auto components = kivo::certs::rsaPublicKeyComponents(certificate);
        touch(components.modulus.size() + components.exponent.size());
    } catch (const kivo::foundation::SigningError&) {
        // 105 for certificates without a usable RSA key: the documented answer.
    }
}

void readEverything(const X509Certificate& certificate) {
    touch(certificate.checkValidity(
              std::chrono::floor<std::chrono::milliseconds>(std::chrono::system_clock::now()))
              ? 1
              : 0);
    touch(certificate.serial().value_or(kivo::asn1::Bytes{}).size());
    if (const auto notBefore = certificate.notBefore()) {
        touch(static_cast<std::size_t>(notBefore->time_since_epoch().count()));
    }
    readNames(certificate);
    readExtensions(certificate);
    readPublicKey(certificate);
    useForSigning(certificate);
}

void readContainer(std::span<const std::uint8_t> bytes) {
    std::shared_ptr<kivo::asn1::Pkcs7Container> container;
    try {
        container = kivo::asn1::Pkcs7Container::fromDer(bytes);
    } catch (const kivo::asn1::ASN1Exception&) {
        return;
    }
    touch(static_cast<std::size_t>(container->contentType()));
    touch(container->contentTypeOid().value_or("").size());
    if (const auto content = container->content()) {
        touch(content->description().size());
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kivo::foundation::setProcessLog(kivo::foundation::LogFile(std::nullopt));
    // DEBUG lines are built only while verbose: keep that path in the run too.
    kivo::foundation::setVerboseLogging(true);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    readContainer(bytes);
    std::shared_ptr<X509Certificate> certificate;
    try {
        certificate = X509Certificate::fromData(bytes);
    } catch (const kivo::asn1::ASN1Exception&) {
        return 0;
    }
    readEverything(*certificate);
    return 0;
}
