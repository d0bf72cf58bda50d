#include "support/TestPki.h"

#include "HostClient.h"
#include "support/TempDir.h"

#include <cctype>
#include <random>
#include <sstream>
#include <stdexcept>

namespace kivo::testing {
namespace fs = std::filesystem;

namespace {

std::string joined(const std::vector<std::string>& arguments) {
    std::string text;
    for (const auto& argument : arguments) {
        text += (text.empty() ? "" : " ") + argument;
    }
    return text;
}

void makeKey(const fs::path& keyPem, KeyType type) {
    const bool rsa = type == KeyType::rsa2048;
    runProgram({"openssl", "genpkey", "-algorithm", rsa ? "RSA" : "EC", "-pkeyopt",
                rsa ? "rsa_keygen_bits:2048" : "ec_paramgen_curve:P-256", "-out", keyPem.string()});
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
    return text.empty() ? "/" : text;
}

std::string randomSerialHex() {
    std::random_device device;
    std::uniform_int_distribution<int> digit(0, 15);
    std::uniform_int_distribution<int> firstDigit(1, 7);  // positive, no leading zero
    static constexpr const char* digits = "0123456789abcdef";
    std::string serial(1, digits[firstDigit(device)]);
    for (int i = 0; i < 15; ++i) {
        serial.push_back(digits[digit(device)]);
    }
    return serial;
}

std::string normalizedSerial(std::string hex) {
    for (char& c : hex) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    const auto firstNonZero = hex.find_first_not_of('0');
    return firstNonZero == std::string::npos ? "0" : hex.substr(firstNonZero);
}

// A throw-away `openssl ca` database for one signing operation, so issuances never share state.
struct SigningSetup {
    fs::path config;
    fs::path folder;
};

SigningSetup prepareSigning(const fs::path& dir, const std::string& name,
                            const std::string& serialHex, const std::string& extensions) {
    SigningSetup setup{dir / (name + ".ca.cnf"), dir / (name + ".ca-db")};
    writeFile(setup.folder / "index.txt", "");
    writeFile(setup.folder / "serial", (serialHex.size() % 2 == 0 ? "" : "0") + serialHex + "\n");
    std::ostringstream config;
    config << "[ca]\ndefault_ca = test_ca\n"
           << "[test_ca]\n"
           << "database = " << (setup.folder / "index.txt").string() << "\n"
           << "new_certs_dir = " << setup.folder.string() << "\n"
           << "serial = " << (setup.folder / "serial").string() << "\n"
           << "default_md = sha256\npolicy = any_subject\nunique_subject = no\n"
           << "email_in_dn = yes\ncopy_extensions = none\n"
           << "[any_subject]\ncommonName = optional\nemailAddress = optional\n"
           << "organizationName = optional\norganizationalUnitName = optional\n"
           << "[req]\ndistinguished_name = req_dn\n[req_dn]\n"
           << "[leaf_ext]\n"
           << extensions;
    writeFile(setup.config, config.str());
    return setup;
}

void signRequest(const SigningSetup& setup, const fs::path& csr, const fs::path& certPem,
                 const fs::path& caKey, const std::optional<fs::path>& caCert,
                 const std::string& notBefore, const std::string& notAfter) {
    std::vector<std::string> command{
        "openssl",      "ca",         "-batch",  "-config",        setup.config.string(),
        "-in",          csr.string(), "-out",    certPem.string(), "-keyfile",
        caKey.string(), "-startdate", notBefore, "-enddate",       notAfter,
        "-extensions",  "leaf_ext",   "-notext", "-preserveDN",    "-utf8"};
    if (caCert) {
        command.insert(command.end(), {"-cert", caCert->string()});
    } else {
        command.push_back("-selfsign");
    }
    runProgram(command);
}

void makeRequest(const fs::path& key, const fs::path& csr, const std::string& subject) {
    runProgram({"openssl", "req", "-new", "-utf8", "-key", key.string(), "-subj", subject, "-out",
                csr.string(), "-config", "/dev/null"});
}

std::string subjectKeyIdHex(const fs::path& certPem) {
    const std::string text = runProgram(
        {"openssl", "x509", "-in", certPem.string(), "-noout", "-ext", "subjectKeyIdentifier"});
    // "X509v3 Subject Key Identifier: \n    AB:CD:..." -> "abcd..."
    const std::string value = text.substr(text.find('\n') + 1);
    std::string hex;
    for (const char c : value) {
        if (std::isxdigit(static_cast<unsigned char>(c))) {
            hex.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
        }
    }
    return hex;
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
        throw std::runtime_error("command failed (" + std::to_string(status.value_or(-1)) +
                                 "): " + joined(arguments) + "\n" + readFile(outputs / "stderr"));
    }
    return output;
}

TestCa makeCa(const fs::path& dir, const std::string& commonName) {
    fs::create_directories(dir);
    const std::string name = "ca-" + std::to_string(std::random_device{}() % 1000000);
    TestCa ca{dir / (name + ".key.pem"), dir / (name + ".cert.pem"), commonName, {}};
    makeKey(ca.keyPem, KeyType::rsa2048);
    std::vector<std::pair<std::string, std::string>> subject{{"O", "Kivo Test PKI"}};
    if (!commonName.empty()) {
        subject.emplace_back("CN", commonName);
    }
    const fs::path csr = dir / (name + ".csr");
    makeRequest(ca.keyPem, csr, subjectText(subject));
    const SigningSetup setup = prepareSigning(dir, name, randomSerialHex(),
                                              "basicConstraints = critical,CA:TRUE\n"
                                              "keyUsage = critical,keyCertSign,cRLSign\n"
                                              "subjectKeyIdentifier = hash\n");
    signRequest(setup, csr, ca.certPem, ca.keyPem, std::nullopt, "20000101000000Z",
                "20600101000000Z");
    ca.subjectKeyIdHex = subjectKeyIdHex(ca.certPem);
    return ca;
}

IssuedCertificate issueCertificate(const fs::path& dir, const TestCa& ca,
                                   const CertificateFields& fields, const std::string& name) {
    fs::create_directories(dir);
    IssuedCertificate issued{
        dir / (name + ".key.pem"), dir / (name + ".cert.pem"), dir / (name + ".cert.der"),
        "kivo-test",
        normalizedSerial(fields.serialHex.empty() ? randomSerialHex() : fields.serialHex)};
    makeKey(issued.keyPem, fields.keyType);

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
    const fs::path csr = dir / (name + ".csr");
    makeRequest(issued.keyPem, csr, subjectText(subject));

    std::ostringstream extensions;
    extensions << "basicConstraints = CA:FALSE\nsubjectKeyIdentifier = hash\n";
    // openssl ca adds an AKI unless told "none".
    extensions << "authorityKeyIdentifier = "
               << (fields.authorityKeyIdentifier ? "keyid:always" : "none") << "\n";
    if (fields.keyUsage) {
        extensions << "keyUsage = " << *fields.keyUsage << "\n";
    }
    if (fields.abn) {
        extensions << "1.2.36.1.333.1 = ASN1:PRINTABLESTRING:" << *fields.abn << "\n";
    }
    const SigningSetup setup = prepareSigning(dir, name, issued.serialHex, extensions.str());
    signRequest(setup, csr, issued.certPem, ca.keyPem, ca.certPem, fields.notBefore,
                fields.notAfter);

    runProgram({"openssl", "x509", "-in", issued.certPem.string(), "-outform", "DER", "-out",
                issued.certDer.string()});
    return issued;
}

}  // namespace kivo::testing
