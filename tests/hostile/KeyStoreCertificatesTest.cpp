// Hostile certificates in the key store: objects that are cut short, nest deeply or announce
// absurd lengths sit on the token next to the signer's identity. Each is skipped with its log
// line and the search still finds the signer.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <nlohmann/json.hpp>

#include "HostileHost.h"
#include "SigningStore.h"

namespace kivo::testing {
namespace {

using nlohmann::json;

std::string bytes(std::initializer_list<unsigned char> values) {
    return std::string(values.begin(), values.end());
}

// `depth` SEQUENCEs, each holding the next, with short definite lengths where they fit.
std::string nestedSequences(std::size_t depth) {
    std::string der;
    for (std::size_t i = 0; i < depth; ++i) {
        if (der.size() < 0x80) {
            der = bytes({0x30, static_cast<unsigned char>(der.size())}) + der;
        } else {
            der = bytes({0x30, 0x82, static_cast<unsigned char>(der.size() >> 8),
                         static_cast<unsigned char>(der.size() & 0xFF)}) +
                  der;
        }
    }
    return der;
}

// OCTET STRINGs wrapped in one another, as certificate extensions wrap their values.
std::string nestedOctetStrings(std::size_t depth) {
    std::string der = bytes({0x05, 0x00});
    for (std::size_t i = 0; i < depth; ++i) {
        der = bytes({0x04, 0x82, static_cast<unsigned char>(der.size() >> 8),
                     static_cast<unsigned char>(der.size() & 0xFF)}) +
              der;
    }
    return der;
}

// The certificate (30 82 xx xx, then its signed part 30 82 xx xx) with the length octets of
// the signed part replaced by `lengthOctets`, keeping its size.
std::string withInnerLength(const std::string& der, const std::string& lengthOctets) {
    std::string patched = der;
    patched.replace(5, 3, lengthOctets);
    return patched;
}

std::size_t occurrences(const std::string& text, const std::string& piece) {
    std::size_t count = 0;
    for (auto at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) {
        ++count;
    }
    return count;
}

TEST(HostileKeyStore, DamagedCertificatesAreSkippedAndTheSignerIsStillFound) {
    const SigningStore& store = signingStore();
    const TempDir dir;
    // A token of its own, so that no other test meets these objects.
    const SoftHsm hsm(dir / "softhsm");
    const SoftHsmToken token = hsm.addToken("Kivo Damaged");
    const std::string signerDer = readFile(store.signer.certDer);

    // Each damaged value takes the place of a placeholder certificate of its own (small P-256
    // ones); the signer's longer certificate cut short still announces its full length.
    using Damage = std::function<std::string(const std::string& placeholderDer)>;
    struct Case {
        const char* what;
        Damage damage;
        // The lenient decoder reads some damage as an empty certificate, which matches nobody.
        bool readAsEmpty = false;
    };
    const std::vector<Case> damaged{
        {"cut inside the signed part", [&](auto&) { return signerDer.substr(0, 300); }},
        {"cut inside the first length", [&](auto&) { return signerDer.substr(0, 3); }},
        {"nothing but zero bytes", [](auto&) { return std::string(); }},
        {"outer length of 2 GiB",
         [](auto&) {
             return bytes({0x30, 0x84, 0x7f, 0xff, 0xff, 0xff});
         }},
        {"outer length of 2^64 - 1",
         [](auto&) {
             return bytes({0x30, 0x88, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff});
         }},
        {"nine length octets",
         [](auto&) {
             return bytes({0x30, 0x89, 0x01, 0, 0, 0, 0, 0, 0, 0, 0});
         }},
        {"inner length announcing 127 length octets (read as 0)",
         [](const std::string& der) {
             return withInnerLength(der, bytes({0xff, 0xff, 0xff}));
         },
         true},
        {"inner length past the outer end",
         [](const std::string& der) {
             return withInnerLength(der, bytes({0x82, 0x7f, 0xff}));
         }},
        {"tag number beyond 64 bits",
         [](auto&) {
             return bytes(
                 {0x1f, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f, 0x00});
         }},
        {"150 nested sequences", [](auto&) { return nestedSequences(150); }},
        {"250 indefinite-length sequences",
         [](auto&) {
             return repeated(bytes({0x30, 0x80}), 250);
         }},
        {"100 nested octet strings (too deep inside is kept as bytes)",
         [](auto&) { return nestedOctetStrings(100); }, true},
    };
    token.importIdentity(store.signer, "01");
    CertificateSpec placeholderSpec;
    placeholderSpec.commonName = "Placeholder";
    placeholderSpec.keyType = KeyType::ecP256;
    for (std::size_t i = 0; i < damaged.size(); ++i) {
        SCOPED_TRACE(damaged[i].what);
        const IssuedCertificate placeholder = issueCertificate(
            dir / "issued", store.ca, placeholderSpec, "placeholder-" + std::to_string(i));
        const std::string placeholderDer = readFile(placeholder.certDer);
        ASSERT_EQ(placeholderDer.substr(0, 2), bytes({0x30, 0x82}));
        ASSERT_EQ(placeholderDer.substr(4, 2), bytes({0x30, 0x82}));
        const std::string value = damaged[i].damage(placeholderDer);
        ASSERT_LE(value.size(), placeholderDer.size());
        token.importRawCertificate(value, placeholder, hexOf(std::string(1, char(0x10 + i))));
    }

    Environment environment = store.environment();
    environment["SOFTHSM2_CONF"] = hsm.environment().at("SOFTHSM2_CONF");
    // DEBUG lines show the certificates that were read but matched nobody.
    environment["KIVO_VERBOSE_LOGGING"] = "ON";
    const std::string document = signableDocument("c", "r");
    const HostRun run =
        runHost(tools::frameMessage(signRequest({{"doc", document}})), 1, environment);
    expectServedRun(run, 1);
    expectMemoryBounded(run);
    ASSERT_EQ(run.answers.size(), 1u);
    EXPECT_EQ(json::parse(run.answers[0]).value("cert_serial", ""), store.signer.serialHex);
    const auto readAsEmpty = static_cast<std::size_t>(
        std::count_if(damaged.begin(), damaged.end(), [](const Case& c) { return c.readAsEmpty; }));
    EXPECT_EQ(occurrences(run.log, "ERROR Unexpected certificate contents\n"),
              damaged.size() - readAsEmpty);
    EXPECT_EQ(occurrences(run.log,
                          "DEBUG Next certificate has name = <nil>, email = <nil>, "
                          "ABN = <nil>, AKI = <nil>"),
              readAsEmpty);
}

}  // namespace
}  // namespace kivo::testing
