#pragma once

// What the key-store tests share: certificates made once per test program, and a scene of real
// stores (a home with an NSS database folder, SoftHSM2 tokens, the scripted pinentry) that is
// applied to this process's environment and log while the test runs.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/Pkcs11KeyStore.h"
#include "support/KeyStoreFixtures.h"
#include "support/TempDir.h"
#include "support/TestPki.h"

namespace kivo::testing {

struct SharedPki {
    TempDir dir;
    TestCa ca;
    IssuedCertificate jane;  // RSA 2048, CN "Jane Citizen"
    IssuedCertificate john;  // RSA 2048, CN "John Citizen"
    IssuedCertificate mary;  // RSA 2048, CN "Mary Citizen"
    IssuedCertificate ec;    // P-256, CN "Eve Curve"
};

// Made on first use and kept for the whole test program: key generation is the slow part.
const SharedPki& sharedPki();

// Subject CN of a DER certificate, read with openssl.
std::string subjectCommonName(const std::filesystem::path& certDer);

class KeyStoreScene {
  public:
    KeyStoreScene();
    KeyStoreScene(const KeyStoreScene&) = delete;
    KeyStoreScene& operator=(const KeyStoreScene&) = delete;
    ~KeyStoreScene();

    TempDir dir;
    TestHome home{dir / "home"};
    SoftHsm softHsm{dir / "softhsm"};
    ScriptedPinentry pinentry{dir / "pinentry"};

    // The store as the host would make it from this scene's environment.
    platform::KeyStoreOptions options() const;
    // Log lines as "LEVEL message" (timestamps removed).
    std::vector<std::string> logLines() const;

  private:
    std::filesystem::path logPath_;
    ScopedEnvironment environment_;
};

}  // namespace kivo::testing
