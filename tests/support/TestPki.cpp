#include "support/TestPki.h"

#include <random>
#include <stdexcept>

#include "HostClient.h"
#include "asn1/X509Certificate.h"
#include "foundation/Encodings.h"

namespace kivo::testing {
namespace fs = std::filesystem;

namespace {

const fs::path committed = fs::path(KIVO_TEST_DATA_DIR) / "pki";

// make-pki.sh DIR ARGUMENTS...: see its header.
void makePki(const fs::path& dir, std::vector<std::string> arguments) {
    fs::create_directories(dir);
    arguments.insert(arguments.begin(), {(committed / "make-pki.sh").string(), dir.string()});
    runProgram(arguments);
}

// Names and serials unique enough for the few certificates a test makes; decimal digits are
// hex digits too.
std::string randomDigits() {
    return std::to_string(std::random_device()());
}

TestCa caIn(const fs::path& dir, const std::string& name) {
    const std::string der = readFile(dir / (name + ".cert.der"));
    // The extension subjectKeyIdentifier (2.5.29.14), non-critical, holding 20 octets.
    const std::size_t keyId = der.find(std::string("\x06\x03\x55\x1d\x0e\x04\x16\x04\x14", 9)) + 9;
    return {dir / (name + ".key.pem"), dir / (name + ".cert.pem"),
            foundation::hexEncode(foundation::byteView(der.substr(keyId, 20)))};
}

IssuedCertificate certificateIn(const fs::path& dir, const std::string& name) {
    const fs::path der = dir / (name + ".cert.der");
    const auto serial = asn1::X509Certificate::fromDer(readBytes(der))->serial();
    return {dir / (name + ".key.pem"), dir / (name + ".cert.pem"), der,
            foundation::hexEncode(*serial)};
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

IssuedCertificate issueCertificate(const fs::path& dir, const TestCa& ca,
                                   const std::string& notAfter, const std::string& name) {
    const std::string issuer = ca.certPem.string();
    makePki(dir, {"leaf", name, issuer.substr(0, issuer.size() - 9), "Jane Citizen", notAfter,
                  randomDigits(), "rsa"});
    return certificateIn(dir, name);
}

TestCa committedCa(const std::string& name) {
    return caIn(committed, name);
}

IssuedCertificate committedCertificate(const std::string& name) {
    return certificateIn(committed, name);
}

}  // namespace kivo::testing
