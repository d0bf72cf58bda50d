#include "support/TestPki.h"

#include <algorithm>
#include <random>
#include <stdexcept>

#include "HostClient.h"
#include "asn1/X509Certificate.h"
#include "foundation/Encodings.h"

namespace kivo::testing {
namespace fs = std::filesystem;

namespace {

fs::path pkiFolder() {
    return fs::path(KIVO_TEST_DATA_DIR) / "pki";
}

// Positive and without a leading zero, as serials and key identifiers may be.
std::string randomHex(std::size_t digits) {
    std::random_device device;
    static constexpr const char* hex = "0123456789abcdef";
    std::string text(1, hex[1 + device() % 7]);
    while (text.size() < digits) {
        text.push_back(hex[device() % 16]);
    }
    return text;
}

// openssl -subj text: "/" separates attributes, so a value escapes "/", "+", "=" and "\".
std::string subjectText(const std::vector<std::pair<std::string, std::string>>& attributes) {
    std::string text;
    for (const auto& [name, value] : attributes) {
        text += "/" + name + "=";
        for (const char c : value) {
            if (c == '/' || c == '+' || c == '=' || c == '\\') {
                text.push_back('\\');
            }
            text.push_back(c);
        }
    }
    return text;
}

// make-pki.sh's one certificate: see its header for the arguments.
void makeCertificate(const std::vector<std::string>& arguments) {
    std::vector<std::string> command{(pkiFolder() / "make-pki.sh").string()};
    command.insert(command.end(), arguments.begin(), arguments.end());
    runProgram(command);
}

std::string stem(const fs::path& certPem) {
    const std::string path = certPem.string();
    return path.substr(0, path.size() - std::string(".cert.pem").size());
}

}  // namespace

std::string runProgram(const std::vector<std::string>& arguments, const Environment& environment) {
    // env looks the program up on PATH; standard error goes to a file, so a chatty child never
    // blocks on a full pipe.
    const TempDir outputs;
    tools::HostProcess program(
        {"/usr/bin/env", arguments, environment, {}, (outputs / "stderr").string()});
    program.closeInput();
    constexpr std::chrono::minutes timeout(10);
    std::string output = program.readRemainingOutput(timeout);
    const std::optional<int> status = program.waitForExit(timeout);
    if (status != 0) {
        std::string command;
        for (const auto& argument : arguments) {
            command += " " + argument;
        }
        throw std::runtime_error("command failed (" + std::to_string(status.value_or(-1)) +
                                 "):" + command + "\n" + readFile(outputs / "stderr"));
    }
    return output;
}

TestCa makeCa(const fs::path& dir, const std::string& commonName) {
    fs::create_directories(dir);
    const std::string name = "ca-" + randomHex(8);
    TestCa ca{dir / (name + ".key.pem"), dir / (name + ".cert.pem"), commonName, randomHex(40)};
    std::vector<std::pair<std::string, std::string>> subject{{"O", "Kivo Test PKI"}};
    if (!commonName.empty()) {
        subject.emplace_back("CN", commonName);
    }
    makeCertificate({dir.string(), name, "-", subjectText(subject), "20000101000000Z",
                     "20600101000000Z", randomHex(16), "rsa",
                     "basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\n"
                     "subjectKeyIdentifier=" +
                         ca.subjectKeyIdHex});
    return ca;
}

IssuedCertificate issueCertificate(const fs::path& dir, const TestCa& ca,
                                   const CertificateFields& fields, const std::string& name) {
    fs::create_directories(dir);
    std::string serial = fields.serialHex.empty() ? randomHex(16) : fields.serialHex;
    std::transform(serial.begin(), serial.end(), serial.begin(), ::tolower);
    IssuedCertificate issued{dir / (name + ".key.pem"), dir / (name + ".cert.pem"),
                             dir / (name + ".cert.der"), "kivo-test",
                             (serial.size() % 2 == 0 ? "" : "0") + serial};
    std::vector<std::pair<std::string, std::string>> subject;
    if (fields.commonName) {
        subject.emplace_back("CN", *fields.commonName);
    }
    if (fields.email) {
        subject.emplace_back("emailAddress", *fields.email);
    }
    if (subject.empty()) {
        subject.emplace_back("O", "Kivo Test PKI");  // a request needs some subject
    }
    // openssl ca adds an AKI unless told "none".
    std::string extensions = "basicConstraints=CA:FALSE\nauthorityKeyIdentifier=" +
                             std::string(fields.authorityKeyIdentifier ? "keyid:always" : "none");
    if (fields.keyUsage) {
        extensions += "\nkeyUsage=" + *fields.keyUsage;
    }
    if (fields.abn) {
        extensions += "\n1.2.36.1.333.1=ASN1:PRINTABLESTRING:" + *fields.abn;
    }
    makeCertificate({dir.string(), name, stem(ca.certPem), subjectText(subject), fields.notBefore,
                     fields.notAfter, serial, fields.keyType == KeyType::rsa2048 ? "rsa" : "ec",
                     extensions});
    return issued;
}

TestCa committedCa(const std::string& name) {
    const std::string der = readFile(pkiFolder() / (name + ".cert.der"));
    // The extension subjectKeyIdentifier (2.5.29.14), non-critical, holding 20 octets.
    const std::size_t keyId = der.find(std::string("\x06\x03\x55\x1d\x0e\x04\x16\x04\x14", 9)) + 9;
    return {pkiFolder() / (name + ".key.pem"), pkiFolder() / (name + ".cert.pem"),
            asn1::X509Certificate::fromDer(foundation::byteView(der))
                ->subjectValue(asn1::ASN1DistinguishedNames::commonName)
                .value_or(""),
            foundation::hexEncode(foundation::byteView(der.substr(keyId, 20)))};
}

IssuedCertificate committedCertificate(const std::string& name) {
    const fs::path der = pkiFolder() / (name + ".cert.der");
    const auto serial = asn1::X509Certificate::fromDer(readBytes(der))->serial();
    return {pkiFolder() / (name + ".key.pem"), pkiFolder() / (name + ".cert.pem"), der, "kivo-test",
            foundation::hexEncode(*serial)};
}

}  // namespace kivo::testing
