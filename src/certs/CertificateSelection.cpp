#include "certs/CertificateSelection.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "certs/TextComparison.h"
#include "foundation/Encodings.h"
#include "foundation/Log.h"
#include "foundation/SigningError.h"
#include "foundation/Time.h"

namespace kivo::certs {

using foundation::formatTimestamp;
using foundation::hexEncode;
using foundation::KeyStore;

namespace {

using foundation::LogLevel;
using foundation::SigningError;

// The ABN extension's value is a single string: the extnValue node's first child.
std::optional<std::string> abnOf(const asn1::X509Certificate& certificate) {
    const auto extension = certificate.extensionFor(asn1::X509Certificate::OID_ABN);
    const auto block = extension ? extension->block() : nullptr;
    const auto extensionValue = block ? block->lastChild() : nullptr;
    const auto first = extensionValue ? extensionValue->childAt(0) : nullptr;
    return first ? first->textValue() : std::nullopt;
}

// The authority key identifier's first leaf as lower-case hex. It must be octets: an identifier
// whose octets the decoder read as UTF-8 text counts as absent.
std::optional<std::string> authorityKeyIdTextOf(const asn1::X509Certificate& certificate) {
    const auto extension =
        certificate.extensionFor(asn1::X509Certificate::OID_AuthorityKeyIdentifier);
    const auto block = extension ? extension->block() : nullptr;
    const auto extensionValue = block ? block->lastChild() : nullptr;
    if (!extensionValue) {
        return std::nullopt;
    }
    const auto octets = asn1::bytesOf(extensionValue->firstLeafValue());
    return octets ? std::optional(hexEncode(*octets)) : std::nullopt;
}

// No key-usage extension at all means the key may sign; otherwise digitalSignature decides.
bool isSigningCertificate(const asn1::X509Certificate& certificate) {
    const auto keyUsage = certificate.keyUsage();
    return keyUsage.empty() || keyUsage.front();
}

std::string orNil(const std::optional<std::string>& text) {
    return text.value_or("<nil>");
}

std::string describeFacts(const IdentityFacts& facts) {
    return "Next certificate has name = " + orNil(facts.commonName) +
           ", email = " + orNil(facts.email) + ", ABN = " + orNil(facts.abn) +
           ", AKI = " + orNil(facts.akiText) +
           ", isSigningCert = " + (facts.isSigningCert ? "true" : "false");
}

bool equalsWhenPresent(const std::optional<std::string>& fromCertificate,
                       const std::optional<std::string>& fromRequest) {
    return fromCertificate && fromRequest && canonicallyEqual(*fromCertificate, *fromRequest);
}

// The position of the first list entry that the identifier equals, ignoring case.
std::optional<std::size_t> akiPosition(const std::optional<std::string>& akiText,
                                       std::span<const std::string> akis) {
    if (!akiText) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < akis.size(); ++i) {
        if (equalIgnoringCase(*akiText, akis[i])) {
            return i;
        }
    }
    return std::nullopt;
}

bool equalsAkiEntry(const Candidate& candidate, std::string_view entry) {
    const auto akiText = authorityKeyIdTextOf(*candidate.parsedCertificate);
    return akiText && equalIgnoringCase(*akiText, entry);
}

// The candidate test's reason for passing a certificate over, in the order it tests; none for a
// candidate. Writes the per-certificate DEBUG lines.
std::optional<IdentityVerdict> mismatchOf(const asn1::X509Certificate& certificate,
                                          const UserDetails& userDetails) {
    const auto facts = identityFacts(certificate);
    foundation::writeDebug([&] { return describeFacts(facts); });
    if (!facts.commonName) {
        return IdentityVerdict::nameDiffers;
    }
    if (!facts.isSigningCert) {
        return IdentityVerdict::noSigningKeyUsage;
    }
    if (!equalsWhenPresent(facts.commonName, userDetails.name)) {
        return IdentityVerdict::nameDiffers;
    }
    if (!facts.email || !userDetails.email ||
        !equalIgnoringCase(*facts.email, *userDetails.email)) {
        return IdentityVerdict::emailDiffers;
    }
    if (!equalsWhenPresent(facts.abn, userDetails.abn)) {
        return IdentityVerdict::abnDiffers;
    }
    if (!userDetails.aki) {
        return IdentityVerdict::akiNotListed;
    }
    if (userDetails.aki->empty()) {
        foundation::writeDebug([] {
            return "Next certificate is a signing certificate that matches on name, email and ABN";
        });
        return std::nullopt;
    }
    if (!akiPosition(facts.akiText, *userDetails.aki)) {
        return IdentityVerdict::akiNotListed;
    }
    foundation::writeDebug([] {
        return "Next certificate is a signing certificate that matches on name, email, ABN and AKI";
    });
    return std::nullopt;
}

using Escape = std::pair<char, std::string_view>;
constexpr Escape shortEscapes[] = {{'"', "\\\""}, {'\\', "\\\\"}, {'\n', "\\n"}, {'\r', "\\r"},
                                   {'\t', "\\t"}, {'\b', "\\b"},  {'\f', "\\f"}};

// A double-quoted entry with backslash escapes for quotes, backslashes and control characters.
void appendQuoted(std::string& out, std::string_view text) {
    out += '"';
    for (const char c : text) {
        const auto* shortEscape = std::ranges::find(shortEscapes, c, &Escape::first);
        const auto byte = static_cast<unsigned char>(c);
        if (shortEscape != std::end(shortEscapes)) {
            out += shortEscape->second;
        } else if (byte < 0x20 || byte == 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    out += '"';
}

std::string describeAkiList(std::span<const std::string> akis) {
    std::string out = "[";
    for (std::size_t i = 0; i < akis.size(); ++i) {
        if (i > 0) {
            out += ", ";
        }
        appendQuoted(out, akis[i]);
    }
    return out + "]";
}

template <typename T>
const T& required(const std::optional<T>& field, const char* message) {
    if (!field) {
        throw SigningError(foundation::error_code::badRequest, message);
    }
    return *field;
}

// A candidate without a readable notAfter never displaces one, and any dated one displaces it.
bool expiresLater(const Candidate& candidate, const Candidate& selected) {
    const auto candidateNotAfter = candidate.parsedCertificate->notAfter();
    const auto selectedNotAfter = selected.parsedCertificate->notAfter();
    return candidateNotAfter && (!selectedNotAfter || *candidateNotAfter > *selectedNotAfter);
}

// The first AKI entry that any candidate carries wins; among its carriers the latest expiry.
const Candidate* selectByAkiPriority(const std::vector<Candidate>& candidates,
                                     std::span<const std::string> akis) {
    const Candidate* selected = nullptr;
    for (const auto& entry : akis) {
        for (const auto& candidate : candidates) {
            if (!equalsAkiEntry(candidate, entry)) {
                continue;
            }
            if (selected == nullptr) {
                selected = &candidate;
                foundation::writeLog(LogLevel::info, "Found certificate match");
            } else if (expiresLater(candidate, *selected)) {
                selected = &candidate;
                foundation::writeLog(LogLevel::info,
                                     "Found certificate match with a later expiry date");
            }
        }
        if (selected != nullptr) {
            break;
        }
    }
    return selected;
}

// Why each candidate that was not chosen lost: an AKI later in the list, or the same one and
// no later expiry. Without a winner (an empty AKI list) none of their AKIs was listed.
IdentityVerdict rankingVerdict(const Candidate& candidate, const Candidate* winner,
                               std::span<const std::string> akis) {
    if (winner == nullptr) {
        return IdentityVerdict::akiNotListed;
    }
    if (candidate.parsedCertificate == winner->parsedCertificate) {
        return IdentityVerdict::chosen;
    }
    const auto position = akiPosition(authorityKeyIdTextOf(*candidate.parsedCertificate), akis);
    const auto winnerPosition = akiPosition(authorityKeyIdTextOf(*winner->parsedCertificate), akis);
    return position == winnerPosition ? IdentityVerdict::earlierExpiry
                                      : IdentityVerdict::lowerAkiPreference;
}

// Everything a sign request would find wrong with the chosen certificate.
std::vector<ChosenProblem> problemsOf(const asn1::X509Certificate& certificate,
                                      asn1::TimePoint now) {
    std::vector<ChosenProblem> problems;
    const auto publicKey = certificate.publicKey();
    if (!publicKey || publicKey->algorithmOid() != asn1::X509PublicKey::OID_RSAEncryption) {
        problems.push_back(ChosenProblem::notRsa);
    }
    const auto notAfter = certificate.notAfter();
    if (!notAfter || now >= *notAfter) {
        problems.push_back(ChosenProblem::expired);
    }
    const auto notBefore = certificate.notBefore();
    if (!notBefore || now <= *notBefore) {
        problems.push_back(ChosenProblem::notYetValid);
    }
    if (!certificate.issuerValue(asn1::ASN1DistinguishedNames::commonName)) {
        problems.push_back(ChosenProblem::noIssuerCn);
    }
    return problems;
}

// The display values of the chosen certificate; throws what the sign request fails with.
CertificateSelection checkedSelection(const Candidate& selected, asn1::TimePoint now) {
    const auto& certificate = *selected.parsedCertificate;
    if (!certificate.checkValidity(now)) {
        throw SigningError(foundation::error_code::certificateExpired,
                           "Signing certificate has expired");
    }

    const auto serialOctets = certificate.serial();
    std::string serial = serialOctets ? hexEncode(*serialOctets) : std::string();
    foundation::writeDebug([&] { return "Certificate serial number = " + serial; });

    // checkValidity has established that both dates are present.
    const std::string notBefore = formatTimestamp(*certificate.notBefore());
    std::string expiry = formatTimestamp(*certificate.notAfter());
    foundation::writeDebug([&] { return "Certificate not valid before date = " + notBefore; });
    foundation::writeDebug([&] { return "Certificate not valid after date = " + expiry; });

    auto issuer = certificate.issuerValue(asn1::ASN1DistinguishedNames::commonName);
    if (!issuer) {
        throw SigningError(foundation::error_code::certificateIncomplete,
                           "Signing certificate does not include Issuer CN");
    }
    foundation::writeDebug([&] { return "Certificate Issuer CN = " + *issuer; });

    return {selected.certificate, selected.parsedCertificate, std::move(serial),
            std::move(expiry),    std::move(*issuer),         selected.privateKey};
}

}  // namespace

IdentityFacts identityFacts(const asn1::X509Certificate& certificate) {
    return {certificate.subjectValue(asn1::ASN1DistinguishedNames::commonName),
            certificate.subjectValue(asn1::ASN1DistinguishedNames::emailAddress),
            abnOf(certificate), authorityKeyIdTextOf(certificate),
            isSigningCertificate(certificate)};
}

bool isCandidate(const asn1::X509Certificate& parsedCertificate, const UserDetails& userDetails) {
    return !mismatchOf(parsedCertificate, userDetails);
}

SelectionOutcome selectSigningCertificate(const UserDetails& userDetails, KeyStore& store,
                                          std::string_view tokenClassId, asn1::TimePoint now) {
    SelectionOutcome outcome;
    try {
        const auto& name =
            required(userDetails.name, "Name is missing from the signing request message");
        const auto& email =
            required(userDetails.email, "Email is missing from the signing request message");
        const auto& abn =
            required(userDetails.abn, "ABN is missing from the signing request message");
        const auto& akis =
            required(userDetails.aki, "AKI list is missing from the signing request message");
        foundation::writeLog(LogLevel::info, "Searching for certificate with name = " + name +
                                                 ", email = " + email + ", ABN = " + abn +
                                                 ", AKI = " + describeAkiList(akis));
    } catch (const SigningError& error) {
        outcome.failure = error;
        return outcome;
    }
    const auto& akis = *userDetails.aki;

    // The candidate test's verdict on the identity being examined, until it is recorded.
    std::optional<IdentityVerdict> mismatch;
    std::vector<Candidate> examined;
    std::vector<std::optional<IdentityVerdict>> mismatches;
    const auto candidates = collectCandidates(
        store,
        [&](const asn1::X509Certificate& certificate) {
            mismatch = mismatchOf(certificate, userDetails);
            return !mismatch;
        },
        tokenClassId,
        [&](const Candidate& identity, bool) {
            examined.push_back(identity);
            mismatches.push_back(mismatch);
        });
    const Candidate* selected = selectByAkiPriority(candidates, akis);
    for (std::size_t i = 0; i < examined.size(); ++i) {
        const IdentityVerdict verdict =
            mismatches[i] ? *mismatches[i] : rankingVerdict(examined[i], selected, akis);
        outcome.identities.push_back(
            {examined[i].parsedCertificate, examined[i].storeName, verdict});
    }
    if (selected == nullptr) {
        outcome.failure =
            SigningError(foundation::error_code::certificateNotFound, "Certificate not found");
        return outcome;
    }
    outcome.chosenProblems = problemsOf(*selected->parsedCertificate, now);
    try {
        outcome.selection = checkedSelection(*selected, now);
    } catch (const SigningError& error) {
        outcome.failure = error;
    }
    return outcome;
}

CertificateSelection findSigningCertificate(const UserDetails& userDetails, KeyStore& store,
                                            std::string_view tokenClassId, asn1::TimePoint now) {
    SelectionOutcome outcome = selectSigningCertificate(userDetails, store, tokenClassId, now);
    if (outcome.failure) {
        throw *outcome.failure;
    }
    return std::move(*outcome.selection);
}

}  // namespace kivo::certs
