#pragma once

// A signer the host can find and sign with: an openssl-made CA and certificate, the key and
// certificate on a SoftHSM2 token, and the scripted pinentry answering with the token's PIN.
// Made once per test program (key generation and token set-up are the slow part) and never
// changed afterwards.

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/KeyStoreFixtures.h"
#include "support/TempDir.h"

namespace kivo::testing {

struct SigningStore {
    TempDir dir;
    TestCa ca;
    IssuedCertificate signer;
    TestHome config;  // only its XDG_CONFIG_HOME is used; each host keeps its own HOME
    SoftHsm hsm;
    ScriptedPinentry pinentry;

    SigningStore();

    // What a host needs to see the token and answer the PIN dialog.
    Environment environment() const;
};

// The store, with enough PIN answers scripted for the next requests.
const SigningStore& signingStore();

// The JSON text of `user_details` naming the store's signer.
std::string signerDetailsJson();

// A sign request for the documents (id, XML text), built without a JSON library so that a
// request of tens of megabytes costs this process little more than its own size. `extraMembers`
// is inserted verbatim after the opening brace (for example R"("msg_source":"x",)").
std::string signRequest(const std::vector<std::pair<std::string, std::string>>& documents,
                        std::string_view extraMembers = "");

// A document the host can sign: `counterpart` and `rendered` are the contents of the two signed
// elements, `prolog` goes before the root element.
std::string signableDocument(std::string_view counterpart, std::string_view rendered,
                             std::string_view prolog = "");

}  // namespace kivo::testing
