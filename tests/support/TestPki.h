#pragma once

// Test certificates made with openssl by tests/data/pki/make-pki.sh: the set committed there,
// read as it is, or Jane Citizen's certificates with the expiry a test asks for, made in a folder
// the caller names.

#include <filesystem>
#include <string>
#include <vector>

#include "support/TempDir.h"

namespace kivo::testing {

struct TestCa {
    std::filesystem::path keyPem, certPem;
    // Lower-case hex of the CA's subject key identifier: what the leaves' AKIs carry.
    std::string subjectKeyIdHex;
};

struct IssuedCertificate {
    std::filesystem::path keyPem;  // PKCS#8, unencrypted
    std::filesystem::path certPem, certDer;
    std::string serialHex;  // lower-case, as the host answers it
};

// Issues Jane Citizen a certificate with a new RSA key and a random serial, signed by `ca`, valid
// until `notAfter` (GeneralizedTime; past dates are fine); files are named after `name` in `dir`.
IssuedCertificate issueCertificate(const std::filesystem::path& dir, const TestCa& ca,
                                   const std::string& notAfter, const std::string& name);

// The committed set (see make-pki.sh for what each holds): CAs "ca" (Kivo Test CA), "ca-b" and
// "ca-nocn"; signers with keys of their own "jane", "john", "mary", "nora".
TestCa committedCa(const std::string& name);
IssuedCertificate committedCertificate(const std::string& name);

// Runs a program (looked up on PATH) with `arguments`, without a shell, the given variables
// added to the environment. Returns its standard output; throws std::runtime_error carrying
// its standard error when it cannot start or exits non-zero.
std::string runProgram(const std::vector<std::string>& arguments,
                       const Environment& environment = {});

}  // namespace kivo::testing
