#include "diagnostics/SelfTest.h"

#include <chrono>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>

#include "BuildConfig.h"
#include "certs/CertificateSelection.h"
#include "diagnostics/IdentityCheck.h"
#include "diagnostics/Report.h"
#include "foundation/Encodings.h"
#include "foundation/SignatureVerification.h"
#include "protocol/Dispatch.h"
#include "xmldsig/DocumentParser.h"
#include "xmldsig/SignatureCheck.h"

namespace kivo::diagnostics {

const char* const sampleDocument =
    "<SelfTest xmlns=\"urn:kivo:self-test\">\n"
    "  <CounterpartData><Party>Kivo self-test</Party><Amount>1.00</Amount></CounterpartData>\n"
    "  <RenderedData><Text>A sample document signed by kivo-signing-host --self-test; it "
    "binds nobody.</Text></RenderedData>\n"
    "</SelfTest>\n";

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

// Hands the one sign request to the dispatch and keeps its answer.
class OneRequestChannel final : public protocol::MessageChannel {
  public:
    explicit OneRequestChannel(std::string request) : request_(std::move(request)) {}
    std::optional<std::string> readRequestMessage() override {
        return std::exchange(request_, std::nullopt);
    }
    void writeResponseMessage(std::string_view payload) override { answer_ = payload; }
    const std::string& answer() const { return answer_; }

  private:
    std::optional<std::string> request_;
    std::string answer_;
};

class Steps {
  public:
    explicit Steps(std::ostream& out) : out_(out) {}
    void start() { started_ = Clock::now(); }
    // Prints the step with the time since start(); returns whether it passed.
    bool end(Mark mark, const std::string& text) {
        const auto took =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started_);
        std::string shown(markText(mark));
        shown.resize(9, ' ');
        out_ << "  " << shown << text << "  (" << took.count() << " ms)\n";
        return mark != Mark::problem;
    }

  private:
    std::ostream& out_;
    Clock::time_point started_;
};

std::string describeSigner(const certs::UserDetails& signer) {
    std::string akis;
    for (const std::string& aki : signer.aki.value_or(std::vector<std::string>{})) {
        akis += (akis.empty() ? "" : " ") + aki;
    }
    return signer.name.value_or("") + " <" + signer.email.value_or("") + ">, ABN " +
           signer.abn.value_or("") + ", AKI " + akis;
}

std::string describe(const certs::IdentityFacts& facts) {
    return facts.commonName.value_or("(no name)") + " <" + facts.email.value_or("no e-mail") +
           ">, ABN " + facts.abn.value_or("none") + ", AKI " + facts.akiText.value_or("none");
}

// The signer the options name; without options, the one identity there is.
std::optional<certs::UserDetails> chosenSigner(const Surroundings& surroundings,
                                               const protocol::RequestServices& services,
                                               const SignerOptions& signer, std::ostream& out,
                                               int& status) {
    if (signer.given()) {
        if (signer.name && signer.email && signer.abn && !signer.akis.empty()) {
            return signer.userDetails();
        }
        out << "--self-test needs --name, --email, --abn and at least one --aki together, as a "
               "sign request's user_details.\n";
        status = 2;
        return std::nullopt;
    }
    const auto identities = allIdentities(*services.openKeyStore(), surroundings);
    if (identities.size() == 1) {
        const auto facts = certs::identityFacts(*identities.front().parsedCertificate);
        if (facts.commonName && facts.email && facts.abn && facts.akiText) {
            return certs::UserDetails{std::vector{*facts.akiText}, facts.commonName, facts.abn,
                                      facts.email};
        }
        out << "The one identity (" << describe(facts)
            << ") lacks a name, e-mail, ABN or AKI, which a sign request needs.\n";
        status = 1;
        return std::nullopt;
    }
    if (identities.empty()) {
        out << "No certificate with a private key in any key store or token: nothing to sign "
               "with (kivo-signing-host --diagnose tells more).\n";
        status = 1;
        return std::nullopt;
    }
    out << identities.size() << " identities: name the signer, as a sign request would:\n";
    for (const auto& identity : identities) {
        const auto facts = certs::identityFacts(*identity.parsedCertificate);
        out << "  --name '" << facts.commonName.value_or("") << "' --email '"
            << facts.email.value_or("") << "' --abn '" << facts.abn.value_or("") << "' --aki "
            << facts.akiText.value_or("''") << "    (in " << identity.storeName << ")\n";
    }
    status = 2;
    return std::nullopt;
}

std::string signRequest(const certs::UserDetails& signer) {
    const json request = {
        {"type", "sign"},
        {"user_details",
         {{"name", *signer.name},
          {"email", *signer.email},
          {"abn", *signer.abn},
          {"aki", *signer.aki}}},
        {"xml_data",
         {{{"id", "self-test"},
           {"data", foundation::base64Encode(foundation::byteView(sampleDocument))}}}}};
    return request.dump();
}

// The signed document, or none after printing why the request failed.
std::optional<std::string> signSample(const certs::UserDetails& signer,
                                      const protocol::RequestServices& services, Steps& steps) {
    steps.start();
    OneRequestChannel channel(signRequest(signer));
    protocol::processRequest(channel, services);
    const json answer = json::parse(channel.answer(), nullptr, false);
    const json signedData =
        answer.is_object() ? answer.value("signed_data", json::array()) : json::array();
    if (answer.value("result", "") != "ok" || signedData.size() != 1) {
        steps.end(Mark::problem, "Signing the sample document failed: " +
                                     std::to_string(answer.value("error_code", 0)) + " " +
                                     answer.value("error_message", channel.answer()));
        return std::nullopt;
    }
    const auto bytes = foundation::base64DecodeStrict(signedData[0].value("data", ""));
    if (!bytes) {
        steps.end(Mark::problem, "The signed document in the answer is not Base64");
        return std::nullopt;
    }
    steps.end(Mark::ok,
              "Signed the sample document through the sign request path, its dialog "
              "included (serial " +
                  answer.value("cert_serial", "") + ")");
    return std::string(bytes->begin(), bytes->end());
}

bool checkSignatures(const std::string& signedDocument, const foundation::Bytes& certificateDer,
                     Steps& steps) {
    bool passed = true;
    for (const char* element : {"CounterpartData", "RenderedData"}) {
        steps.start();
        try {
            const auto document = xmldsig::parseXmlDocument(signedDocument);
            const auto signature =
                xmldsig::readEnvelopedSignature(document.get(), std::string("//") + element);
            const bool verifies = foundation::verifiesWithCertificate(
                certificateDer, signature.digest, foundation::byteView(signature.signedInfoText),
                signature.signatureValue);
            const std::string text =
                std::string(element) + ": reference digest " +
                (signature.digestMatches ? "matches" : "DOES NOT MATCH") + ", RSA signature " +
                (verifies ? "verifies" : "DOES NOT VERIFY") + " with the certificate's key";
            passed =
                steps.end(signature.digestMatches && verifies ? Mark::ok : Mark::problem, text) &&
                passed;
        } catch (const foundation::SigningError& error) {
            passed =
                steps.end(Mark::problem, std::string(element) + ": " + error.message()) && passed;
        }
    }
    return passed;
}

}  // namespace

int runSelfTest(const Surroundings& surroundings, const protocol::RequestServices& services,
                const SignerOptions& signer, std::ostream& out) {
    out << "Self-test of kivo-signing-host " << build::version << "\n";
    Steps steps(out);
    steps.start();
    int status = 0;
    const auto details = chosenSigner(surroundings, services, signer, out, status);
    if (!details) {
        return status;
    }
    // The search a sign request runs; the store is closed again before the request opens its own.
    foundation::Bytes certificateDer;
    {
        const auto store = services.openKeyStore();
        const auto outcome = certs::selectSigningCertificate(
            *details, *store, surroundings.tokenClassId,
            std::chrono::floor<std::chrono::milliseconds>(surroundings.now));
        if (outcome.failure) {
            steps.end(Mark::problem, "A sign request for " + describeSigner(*details) +
                                         " fails: " + std::to_string(outcome.failure->code()) +
                                         " " + outcome.failure->message());
            out << "Self-test failed (kivo-signing-host --diagnose with the same signer tells "
                   "why).\n";
            return 1;
        }
        const auto& selection = *outcome.selection;
        certificateDer = selection.certificate->derBytes();
        std::string place;
        for (const auto& identity : outcome.identities) {
            if (identity.verdict == certs::IdentityVerdict::chosen) {
                place = identity.storeName;
            }
        }
        steps.end(Mark::ok,
                  "Identity: " + describe(certs::identityFacts(*selection.parsedCertificate)) +
                      ", serial " + selection.serial + ", in " + place);
    }
    const auto signedDocument = signSample(*details, services, steps);
    if (!signedDocument || !checkSignatures(*signedDocument, certificateDer, steps)) {
        out << "Self-test failed.\n";
        return 1;
    }
    out << "Self-test passed.\n";
    return 0;
}

}  // namespace kivo::diagnostics
