#include "SigningStore.h"

#include <memory>

#include "certs/Encodings.h"

namespace kivo::testing {

namespace {

// More than any test program here sends sign requests.
constexpr std::size_t scriptedPins = 400;

}  // namespace

SigningStore::SigningStore()
    : ca(makeCa(dir / "ca", "Kivo Hostile Test CA")),
      signer(issueCertificate(dir / "issued", ca, CertificateSpec{}, "jane")),
      config(dir / "config-home"),
      hsm(dir / "softhsm"),
      pinentry(dir / "pinentry") {
    hsm.addToken("Kivo Hostile").importIdentity(signer, "01");
}

Environment SigningStore::environment() const {
    Environment result = mergedEnvironments({hsm.environment(), pinentry.environment()});
    result["XDG_CONFIG_HOME"] = config.environment().at("XDG_CONFIG_HOME");
    return result;
}

const SigningStore& signingStore() {
    static const std::unique_ptr<SigningStore> store = std::make_unique<SigningStore>();
    store->pinentry.answer(
        std::vector<PinAnswerScript>(scriptedPins, PinAnswerScript::pin("1234")));
    return *store;
}

std::string signerDetailsJson() {
    const CertificateSpec signer;
    return R"({"name":")" + signer.commonName.value() + R"(","email":")" + signer.email.value() +
           R"(","abn":")" + signer.abn.value() + R"(","aki":[")" +
           signingStore().ca.subjectKeyIdHex + R"("]})";
}

std::string signRequest(const std::vector<std::pair<std::string, std::string>>& documents,
                        std::string_view extraMembers) {
    std::string request = "{";
    request.append(extraMembers);
    request += R"("type":"sign","user_details":)" + signerDetailsJson() + R"(,"xml_data":[)";
    for (std::size_t i = 0; i < documents.size(); ++i) {
        request += i == 0 ? R"({"id":")" : R"(,{"id":")";
        request += documents[i].first + R"(","data":")";
        request += certs::base64Encode(certs::byteView(documents[i].second));
        request += R"("})";
    }
    request += "]}";
    return request;
}

std::string signableDocument(std::string_view counterpart, std::string_view rendered,
                             std::string_view prolog) {
    std::string document(prolog);
    document += "<Contract><CounterpartData>";
    document.append(counterpart);
    document += "</CounterpartData><RenderedData>";
    document.append(rendered);
    document += "</RenderedData></Contract>";
    return document;
}

}  // namespace kivo::testing
