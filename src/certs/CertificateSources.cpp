#include "certs/CertificateSources.h"

#include <optional>
#include <set>
#include <string>

#include "asn1/ASN1Error.h"
#include "asn1/ObjectIdentifiers.h"
#include "foundation/Log.h"

namespace kivo::certs {

using foundation::IdentityQueryResult;
using foundation::KeyStore;
using foundation::keyStoreStatusName;
using foundation::StoredIdentity;
namespace {

using foundation::LogLevel;
using foundation::writeLog;

// The certificates already taken, so that one reachable through two stores (a database and a
// token module, two modules for one card) is a candidate once, from the first store. Kept as
// strings: GCC 12 at -O3 misreads the byte-vector comparison as an overread (-Wstringop-overread).
using SeenCertificates = std::set<std::string, std::less<>>;

std::string derKey(const foundation::Bytes& der) {
    return {der.begin(), der.end()};
}

// Told to the key once it is accepted, from the certificate decoded here: few keys of a search
// are ever used, and none has to decode its certificate again.
foundation::CertificateFacts certificateFacts(const asn1::X509Certificate& certificate) {
    foundation::CertificateFacts facts;
    facts.commonName =
        certificate.subjectValue(asn1::ASN1DistinguishedNames::commonName).value_or("");
    const auto publicKey = certificate.publicKey();
    const auto algorithm = publicKey ? publicKey->algorithmOid() : std::nullopt;
    facts.rsaKey = !algorithm || *algorithm == asn1::X509PublicKey::OID_RSAEncryption;
    return facts;
}

void appendAccepted(const IdentityQueryResult& result, const AcceptCandidate& accept,
                    const ExaminedCandidate& examined, SeenCertificates& seen,
                    std::vector<Candidate>& candidates) {
    if (result.status != foundation::KeyStoreStatus::success) {
        writeLog(LogLevel::error,
                 "Failed to access certificates (" + keyStoreStatusName(result.status) + ")");
        return;
    }
    if (result.identities.empty()) {
        // A successful query always holds at least one identity.
        writeLog(LogLevel::error, "Unexpected identity contents");
        return;
    }
    for (const StoredIdentity& identity : result.identities) {
        if (!identity.certificate || !identity.privateKey ||
            seen.contains(derKey(identity.certificate->derBytes()))) {
            continue;
        }
        std::shared_ptr<const asn1::X509Certificate> parsed;
        try {
            parsed = asn1::X509Certificate::fromDer(identity.certificate->derBytes());
        } catch (const asn1::ASN1Exception&) {
            writeLog(LogLevel::error, "Unexpected certificate contents");
            continue;
        }
        seen.insert(derKey(identity.certificate->derBytes()));
        Candidate candidate{parsed, identity.certificate, identity.privateKey, identity.storeName};
        const bool accepted = accept(*parsed);
        if (examined) {
            examined(candidate, accepted);
        }
        if (accepted) {
            identity.privateKey->setCertificateFacts(certificateFacts(*parsed));
            candidates.push_back(std::move(candidate));
        }
    }
}

}  // namespace

std::vector<Candidate> collectCandidates(KeyStore& store, const AcceptCandidate& accept,
                                         std::string_view tokenClassId,
                                         const ExaminedCandidate& examined) {
    std::vector<Candidate> candidates;
    SeenCertificates seen;
    // The log has always called the user's own store (here an NSS database) "system KeyChain";
    // tools that read the log look for this line, so the name stays.
    writeLog(LogLevel::info, "Retrieving matching certificates from system KeyChain");
    appendAccepted(store.querySystemIdentities(), accept, examined, seen, candidates);

    writeLog(LogLevel::info, "Retrieving matching certificates from any smartcard tokens");
    for (const std::string& tokenId : store.tokenIds()) {
        if (tokenId.find(tokenClassId) != std::string::npos) {
            appendAccepted(store.queryTokenIdentities(tokenId), accept, examined, seen, candidates);
        }
    }
    return candidates;
}

}  // namespace kivo::certs
