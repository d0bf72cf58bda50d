#include "diagnostics/IdentityCheck.h"

#include <array>
#include <chrono>
#include <optional>
#include <string>

#include "asn1/ObjectIdentifiers.h"
#include "certs/CertificateSelection.h"
#include "certs/CertificateSources.h"
#include "certs/RsaKey.h"
#include "foundation/Encodings.h"
#include "foundation/Time.h"

namespace kivo::diagnostics {
namespace {

using certs::IdentityVerdict;
using nlohmann::json;

constexpr std::array<const char*, 9> keyUsageNames{
    "digitalSignature", "nonRepudiation", "keyEncipherment", "dataEncipherment", "keyAgreement",
    "keyCertSign",      "cRLSign",        "encipherOnly",    "decipherOnly"};

struct KeyDescription {
    std::string type;
    std::optional<std::size_t> bits;
};

std::size_t bitLength(const foundation::Bytes& number) {
    if (number.empty()) {
        return 0;
    }
    std::size_t bits = (number.size() - 1) * 8;
    for (unsigned lead = number.front(); lead != 0; lead >>= 1) {
        ++bits;
    }
    return bits;
}

KeyDescription describeKey(const asn1::X509Certificate& certificate) {
    const auto key = certificate.publicKey();
    const auto oid = key ? key->algorithmOid() : std::nullopt;
    if (!oid) {
        return {"none", std::nullopt};
    }
    if (*oid == asn1::X509PublicKey::OID_RSAEncryption) {
        const auto components = key->rsaComponents();
        return {"RSA", components ? std::optional(bitLength(components->first)) : std::nullopt};
    }
    if (*oid == asn1::X509PublicKey::OID_ECPublicKey) {
        const auto curve = key->algorithmParameters();
        return {"EC " + (curve ? asn1::oidName(*curve).value_or(*curve) : "(no curve)"),
                std::nullopt};
    }
    return {key->algorithmName().value_or(*oid), std::nullopt};
}

std::vector<std::string> keyUsageOf(const asn1::X509Certificate& certificate) {
    std::vector<std::string> names;
    const std::vector<bool> bits = certificate.keyUsage();
    for (std::size_t i = 0; i < bits.size() && i < keyUsageNames.size(); ++i) {
        if (bits[i]) {
            names.emplace_back(keyUsageNames[i]);
        }
    }
    return names;
}

std::string_view verdictKey(IdentityVerdict verdict) {
    switch (verdict) {
        case IdentityVerdict::chosen:
            return "chosen";
        case IdentityVerdict::nameDiffers:
            return "name_differs";
        case IdentityVerdict::noSigningKeyUsage:
            return "no_signing_key_usage";
        case IdentityVerdict::emailDiffers:
            return "email_differs";
        case IdentityVerdict::abnDiffers:
            return "abn_differs";
        case IdentityVerdict::akiNotListed:
            return "aki_not_listed";
        case IdentityVerdict::lowerAkiPreference:
            return "lower_aki_preference";
        case IdentityVerdict::earlierExpiry:
            return "earlier_expiry";
    }
    return "unknown";
}

std::string verdictText(IdentityVerdict verdict, const certs::IdentityFacts& facts) {
    const auto differs = [](const std::optional<std::string>& field, const char* what) {
        return std::string(field ? "its " : "it has no ") + what + (field ? " differs" : "");
    };
    switch (verdict) {
        case IdentityVerdict::chosen:
            return "chosen: a sign request for this signer uses it";
        case IdentityVerdict::nameDiffers:
            return "passed over: " + differs(facts.commonName, "subject CN");
        case IdentityVerdict::noSigningKeyUsage:
            return "passed over: its key usage does not allow signing (no digitalSignature)";
        case IdentityVerdict::emailDiffers:
            return "passed over: " + differs(facts.email, "e-mail");
        case IdentityVerdict::abnDiffers:
            return "passed over: " + differs(facts.abn, "ABN");
        case IdentityVerdict::akiNotListed:
            return "passed over: its AKI is not in the --aki list";
        case IdentityVerdict::lowerAkiPreference:
            return "passed over: the chosen one's AKI comes earlier in the --aki list";
        case IdentityVerdict::earlierExpiry:
            return "passed over: the chosen one has the same AKI and expires later (or as late, "
                   "and was found first)";
    }
    return {};
}

struct Described {
    Mark mark = Mark::ok;
    std::string text;
    json facts;
};

Described describeIdentity(const certs::ExaminedIdentity& identity,
                           std::chrono::system_clock::time_point now,
                           std::optional<IdentityVerdict> verdict) {
    const asn1::X509Certificate& certificate = *identity.parsedCertificate;
    const certs::IdentityFacts facts = certs::identityFacts(certificate);
    const auto issuer = certificate.issuerValue(asn1::ASN1DistinguishedNames::commonName);
    const auto serial = certificate.serial();
    const auto notBefore = certificate.notBefore();
    const auto notAfter = certificate.notAfter();
    const KeyDescription key = describeKey(certificate);
    const auto nowMs = std::chrono::floor<std::chrono::milliseconds>(now);
    std::optional<long long> daysLeft;
    if (notAfter) {
        daysLeft = std::chrono::floor<std::chrono::days>(*notAfter - nowMs).count();
    }

    std::vector<std::string> flags;
    if (!notAfter || nowMs >= *notAfter) {
        flags.emplace_back("expired");
    } else if (*daysLeft < expiryWarningDays) {
        flags.emplace_back("expiring_soon");
    }
    if (!notBefore || nowMs <= *notBefore) {
        flags.emplace_back("not_yet_valid");
    }
    if (key.type != "RSA") {
        flags.emplace_back("not_rsa");
    }
    if (!facts.isSigningCert) {
        flags.emplace_back("no_signing_key_usage");
    }

    Described described;
    const auto orNone = [](const std::optional<std::string>& text) {
        return text.value_or("none");
    };
    described.text = orNone(facts.commonName) + " <" + orNone(facts.email) + ">, ABN " +
                     orNone(facts.abn) + ", issued by " + orNone(issuer) + ", serial " +
                     (serial ? foundation::hexEncode(*serial) : "none") + ", AKI " +
                     orNone(facts.akiText) + ", expires " +
                     (notAfter ? foundation::formatTimestamp(*notAfter).substr(0, 10) + " (" +
                                     std::to_string(*daysLeft) + " days left)"
                               : "never stated") +
                     ", " + key.type + (key.bits ? " " + std::to_string(*key.bits) + " bits" : "");
    const auto usage = keyUsageOf(certificate);
    described.text += usage.empty() ? ", no key usage extension" : ", key usage " + [&] {
        std::string all;
        for (const auto& name : usage) {
            all += (all.empty() ? "" : " ") + name;
        }
        return all;
    }();
    described.text += "; in " + (identity.storeName.empty() ? "a key store" : identity.storeName);
    for (const std::string& flag : flags) {
        described.text += "; " + flag;
        described.mark = Mark::warning;
    }
    if (verdict) {
        described.text += " -- " + verdictText(*verdict, facts);
    }
    described.facts = {
        {"check", "identity"},
        {"store", identity.storeName},
        {"subject_cn", facts.commonName ? json(*facts.commonName) : json()},
        {"email", facts.email ? json(*facts.email) : json()},
        {"abn", facts.abn ? json(*facts.abn) : json()},
        {"issuer_cn", issuer ? json(*issuer) : json()},
        {"serial", serial ? json(foundation::hexEncode(*serial)) : json()},
        {"aki", facts.akiText ? json(*facts.akiText) : json()},
        {"not_before", notBefore ? json(foundation::formatTimestamp(*notBefore)) : json()},
        {"not_after", notAfter ? json(foundation::formatTimestamp(*notAfter)) : json()},
        {"days_left", daysLeft ? json(*daysLeft) : json()},
        {"key_type", key.type},
        {"key_bits", key.bits ? json(*key.bits) : json()},
        {"key_usage", usage},
        {"flags", flags},
        {"verdict", verdict ? json(verdictKey(*verdict)) : json()}};
    return described;
}

std::string fixFor(std::int64_t code) {
    switch (code) {
        case foundation::error_code::certificateNotFound:
            return "compare the signer's details with the identities above (the name exactly, "
                   "the e-mail, the ABN, an AKI of the list), or import the signer's certificate "
                   "with its key or insert the smart card (docs/key-stores.md)";
        case foundation::error_code::certificateExpired:
            return "the chosen certificate is outside its validity period: import its renewal "
                   "(docs/key-stores.md); an identity whose AKI comes first in the list is "
                   "chosen even when another one is still valid";
        default:
            return "use a certificate that an issuer with a common name issued for an RSA key "
                   "(docs/key-stores.md)";
    }
}

// What a sign request for the signer would do, as the selection and the RSA key check say.
void reportSelection(const certs::SelectionOutcome& outcome, Section& section,
                     std::vector<Blocker>& blockers) {
    std::optional<foundation::SigningError> failure = outcome.failure;
    if (!failure && outcome.selection) {
        try {
            certs::rsaPublicKeyComponents(*outcome.selection->parsedCertificate);
        } catch (const foundation::SigningError& error) {
            failure = error;
        }
    }
    if (failure) {
        const std::string problem =
            "A sign request for this signer fails: " + std::to_string(failure->code()) + " " +
            failure->message();
        section.add(Mark::problem, problem,
                    {{"check", "selection"},
                     {"error_code", failure->code()},
                     {"error_message", failure->message()}});
        blockers.push_back({problem, fixFor(failure->code())});
        return;
    }
    const auto& selection = *outcome.selection;
    section.add(Mark::ok,
                "A sign request for this signer signs with serial " + selection.serial +
                    " (issued by " + selection.issuer + ", expires " + selection.expiry + ")",
                {{"check", "selection"},
                 {"error_code", json()},
                 {"cert_serial", selection.serial},
                 {"cert_expiry", selection.expiry},
                 {"cert_issuer", selection.issuer}});
}

}  // namespace

std::vector<certs::ExaminedIdentity> allIdentities(foundation::KeyStore& store,
                                                   const Surroundings& surroundings) {
    std::vector<certs::ExaminedIdentity> identities;
    certs::collectCandidates(
        store, [](const asn1::X509Certificate&) { return true; }, surroundings.tokenClassId,
        [&](const certs::Candidate& identity, bool) {
            identities.push_back(
                {identity.parsedCertificate, identity.storeName, IdentityVerdict::chosen});
        });
    return identities;
}

void checkIdentities(foundation::KeyStore& store, const Surroundings& surroundings,
                     const SignerOptions& signer, Section& section,
                     std::vector<Blocker>& blockers) {
    const bool complete = signer.name && signer.email && signer.abn && !signer.akis.empty();
    std::optional<certs::SelectionOutcome> outcome;
    if (complete) {
        outcome = certs::selectSigningCertificate(
            signer.userDetails(), store, surroundings.tokenClassId,
            std::chrono::floor<std::chrono::milliseconds>(surroundings.now));
    }
    const auto identities = outcome ? outcome->identities : allIdentities(store, surroundings);
    for (const auto& identity : identities) {
        Described described = describeIdentity(
            identity, surroundings.now, outcome ? std::optional(identity.verdict) : std::nullopt);
        if (outcome && identity.verdict == IdentityVerdict::chosen &&
            !outcome->chosenProblems.empty()) {
            described.mark = Mark::problem;
        }
        section.add(described.mark, described.text, std::move(described.facts));
    }
    if (identities.empty()) {
        const std::string problem = "No certificate with a private key in any key store or token";
        section.add(Mark::problem, problem, {{"check", "identities"}, {"count", 0}});
        // With a signer, the selection's own failure says it.
        if (!outcome) {
            blockers.push_back(
                {problem,
                 "import the certificate with its key into Firefox or ~/.pki/nssdb, or "
                 "insert the smart card (docs/key-stores.md)"});
        }
    }
    if (outcome) {
        reportSelection(*outcome, section, blockers);
    } else if (signer.given()) {
        section.add(Mark::warning,
                    "No verdicts: a signer needs --name, --email, --abn and at least one --aki, "
                    "as a sign request's user_details do",
                    {{"check", "selection"}, {"error_code", json()}});
    } else if (!identities.empty()) {
        section.add(Mark::ok,
                    "Name a signer (--name, --email, --abn, --aki) to see which identity a sign "
                    "request uses",
                    {{"check", "selection"}, {"error_code", json()}});
    }
}

}  // namespace kivo::diagnostics
