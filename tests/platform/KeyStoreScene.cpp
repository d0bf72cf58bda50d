#include "KeyStoreScene.h"

#include <memory>
#include <sstream>

#include "host/Log.h"

namespace kivo::testing {

namespace {

std::unique_ptr<const SharedPki> makeSharedPki() {
    auto made = std::make_unique<SharedPki>();
    made->ca = makeCa(made->dir.path(), "Kivo Test CA");
    CertificateSpec spec;
    made->jane = issueCertificate(made->dir.path(), made->ca, spec, "jane");
    spec.commonName = "John Citizen";
    made->john = issueCertificate(made->dir.path(), made->ca, spec, "john");
    spec.commonName = "Mary Citizen";
    made->mary = issueCertificate(made->dir.path(), made->ca, spec, "mary");
    spec.commonName = "Eve Curve";
    spec.keyType = KeyType::ecP256;
    made->ec = issueCertificate(made->dir.path(), made->ca, spec, "ec");
    return made;
}

}  // namespace

const SharedPki& sharedPki() {
    static const std::unique_ptr<const SharedPki> pki = makeSharedPki();
    return *pki;
}

std::string subjectCommonName(const std::filesystem::path& certDer) {
    const std::string subject =
        runProgram({"openssl", "x509", "-inform", "DER", "-in", certDer.string(), "-noout",
                    "-subject", "-nameopt", "multiline"});
    const auto at = subject.find("commonName");
    if (at == std::string::npos) {
        return {};
    }
    const auto start = subject.find("= ", at) + 2;
    return subject.substr(start, subject.find('\n', start) - start);
}

KeyStoreScene::KeyStoreScene()
    : logPath_(dir / "kivo-signing.log"),
      environment_(
          mergedEnvironments({home.environment(), softHsm.environment(), pinentry.environment()})) {
    host::setProcessLog(host::LogFile(logPath_));
}

KeyStoreScene::~KeyStoreScene() {
    host::setProcessLog(host::LogFile(std::nullopt));
}

platform::KeyStoreOptions KeyStoreScene::options() const {
    return platform::defaultKeyStoreOptions();
}

std::vector<std::string> KeyStoreScene::logLines() const {
    std::istringstream text(readFile(logPath_));
    std::vector<std::string> lines;
    std::string line;
    // "dd-MM-yyyy HH:mm:ss.SSS " precedes the level.
    while (std::getline(text, line)) {
        lines.push_back(line.size() > 24 ? line.substr(24) : line);
    }
    return lines;
}

}  // namespace kivo::testing
