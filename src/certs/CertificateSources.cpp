#include "certs/CertificateSources.h"

#include "asn1/ASN1Error.h"
#include "foundation/Log.h"

namespace kivo::certs {

using foundation::IdentityQueryResult;
using foundation::KeyStore;
using foundation::securityStatusName;
using foundation::StoredIdentity;
namespace {

using foundation::LogLevel;
using foundation::writeLog;

void appendAccepted(const IdentityQueryResult& result, const AcceptCandidate& accept,
                    std::vector<Candidate>& candidates) {
    if (result.status != foundation::security_status::success) {
        writeLog(LogLevel::error,
                 "Failed to access certificates (" + securityStatusName(result.status) + ")");
        return;
    }
    if (result.identities.empty()) {
        // A successful query always holds at least one identity.
        writeLog(LogLevel::error, "Unexpected identity contents");
        return;
    }
    for (const StoredIdentity& identity : result.identities) {
        if (!identity.certificate || !identity.privateKey) {
            continue;
        }
        std::shared_ptr<const asn1::X509Certificate> parsed;
        try {
            parsed = asn1::X509Certificate::fromDer(identity.certificate->derBytes());
        } catch (const asn1::ASN1Exception&) {
            writeLog(LogLevel::error, "Unexpected certificate contents");
            continue;
        }
        if (accept(*parsed)) {
            candidates.push_back(Candidate{parsed, identity.certificate, identity.privateKey});
        }
    }
}

}  // namespace

std::vector<Candidate> collectCandidates(KeyStore& store, const AcceptCandidate& accept,
                                         std::string_view tokenClassId) {
    std::vector<Candidate> candidates;
    // The log has always called the user's own store (here an NSS database) "system KeyChain";
    // tools that read the log look for this line, so the name stays.
    writeLog(LogLevel::info, "Retrieving matching certificates from system KeyChain");
    appendAccepted(store.querySystemIdentities(), accept, candidates);

    writeLog(LogLevel::info, "Retrieving matching certificates from any smartcard tokens");
    for (const std::string& tokenId : store.tokenIds()) {
        if (tokenId.find(tokenClassId) != std::string::npos) {
            appendAccepted(store.queryTokenIdentities(tokenId), accept, candidates);
        }
    }
    return candidates;
}

}  // namespace kivo::certs
