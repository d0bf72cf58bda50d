#pragma once

// Test certificates made with openssl by tests/data/pki/make-pki.sh: the set committed there,
// read as it is, or a CA and leaf certificates with exactly the subject, extensions, dates, key
// type and serial a test asks for, made in a folder the caller names.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "support/TempDir.h"

namespace kivo::testing {

enum class KeyType { rsa2048, ecP256 };

struct TestCa {
    std::filesystem::path keyPem, certPem;
    std::string commonName;
    // Lower-case hex of the CA's subject key identifier: what the leaves' AKIs carry.
    std::string subjectKeyIdHex;
};

// A self-signed CA valid from 2000 to 2060. An empty `commonName` makes a CA without CN.
TestCa makeCa(const std::filesystem::path& dir, const std::string& commonName);

struct CertificateFields {
    std::optional<std::string> commonName = "Jane Citizen";
    std::optional<std::string> email = "jane@example.com";  // subject emailAddress
    // Extension 1.2.36.1.333.1 holding a PrintableString, non-critical.
    std::optional<std::string> abn = "51824753556";
    // openssl extension text; nullopt: no key-usage extension.
    std::optional<std::string> keyUsage = "critical,digitalSignature,nonRepudiation";
    bool authorityKeyIdentifier = true;
    // GeneralizedTime text; past and future dates are both fine.
    std::string notBefore = "20240101000000Z";
    std::string notAfter = "20391231235959Z";
    KeyType keyType = KeyType::rsa2048;
    std::string serialHex;  // empty: random
};

struct IssuedCertificate {
    std::filesystem::path keyPem;  // PKCS#8, unencrypted
    std::filesystem::path certPem, certDer;
    std::string pkcs12Password;  // for the PKCS#12 files tests make from keyPem and certPem
    std::string serialHex;       // lower-case, as the host answers it
};

// Issues a certificate signed by `ca`; files are named after `name` inside `dir`.
IssuedCertificate issueCertificate(const std::filesystem::path& dir, const TestCa& ca,
                                   const CertificateFields& fields, const std::string& name);

// The committed set (see make-pki.sh for what each holds): CAs "ca" (Kivo Test CA), "ca-b" and
// "ca-nocn"; signers with keys of their own "jane", "jane-earlier", "john", "mary", "nora".
TestCa committedCa(const std::string& name);
IssuedCertificate committedCertificate(const std::string& name);

// Runs a program (looked up on PATH) with `arguments`, without a shell, the given variables
// added to the environment. Returns its standard output; throws std::runtime_error carrying
// its standard error when it cannot start or exits non-zero.
std::string runProgram(const std::vector<std::string>& arguments,
                       const Environment& environment = {});

}  // namespace kivo::testing
