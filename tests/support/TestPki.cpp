#include "support/TestPki.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace kivo::testing {
namespace fs = std::filesystem;

namespace {

class Pipe {
  public:
    Pipe() {
        if (::pipe(fds_.data()) != 0) {
            throw std::runtime_error("pipe failed");
        }
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
    ~Pipe() {
        closeRead();
        closeWrite();
    }
    int readEnd() const { return fds_[0]; }
    int writeEnd() const { return fds_[1]; }
    void closeRead() { closeEnd(0); }
    void closeWrite() { closeEnd(1); }

  private:
    void closeEnd(int index) {
        if (fds_[index] >= 0) {
            ::close(fds_[index]);
            fds_[index] = -1;
        }
    }
    std::array<int, 2> fds_{-1, -1};
};

std::vector<std::string> mergedEnvironment(const std::map<std::string, std::string>& overrides) {
    std::vector<std::string> merged;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const std::string name = text.substr(0, text.find('='));
        if (!overrides.contains(name)) {
            merged.push_back(text);
        }
    }
    for (const auto& [name, value] : overrides) {
        merged.push_back(name + "=" + value);
    }
    return merged;
}

std::vector<char*> pointersTo(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (auto& text : texts) {
        pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

// Reads both pipes to their end, so a chatty child can never block on a full pipe.
void drain(Pipe& out, Pipe& err, std::string& outText, std::string& errText) {
    std::array<pollfd, 2> fds{{{out.readEnd(), POLLIN, 0}, {err.readEnd(), POLLIN, 0}}};
    std::array<std::string*, 2> sinks{&outText, &errText};
    int open = 2;
    while (open > 0) {
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw std::runtime_error("poll failed");
        }
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            std::array<char, 4096> buffer{};
            const ssize_t got = ::read(fds[i].fd, buffer.data(), buffer.size());
            if (got > 0) {
                sinks[i]->append(buffer.data(), static_cast<std::size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                fds[i].fd = -1;
                --open;
            }
        }
    }
}

std::string joined(const std::vector<std::string>& arguments) {
    std::string text;
    for (const auto& argument : arguments) {
        text += (text.empty() ? "" : " ") + argument;
    }
    return text;
}

std::string opensslKeyAlgorithm(KeyType type, std::vector<std::string>& options) {
    switch (type) {
        case KeyType::rsa2048:
            options = {"-pkeyopt", "rsa_keygen_bits:2048"};
            return "RSA";
        case KeyType::rsa4096:
            options = {"-pkeyopt", "rsa_keygen_bits:4096"};
            return "RSA";
        case KeyType::ecP256:
            options = {"-pkeyopt", "ec_paramgen_curve:P-256"};
            return "EC";
    }
    throw std::logic_error("unknown key type");
}

void makeKey(const fs::path& keyPem, KeyType type) {
    std::vector<std::string> options;
    const std::string algorithm = opensslKeyAlgorithm(type, options);
    std::vector<std::string> command{"openssl", "genpkey", "-algorithm", algorithm};
    command.insert(command.end(), options.begin(), options.end());
    command.insert(command.end(), {"-out", keyPem.string()});
    runProgram(command);
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
    fs::create_directories(setup.folder);
    std::ofstream(setup.folder / "index.txt").close();
    std::string evenSerial = serialHex.size() % 2 == 0 ? serialHex : "0" + serialHex;
    std::ofstream(setup.folder / "serial") << evenSerial << "\n";
    std::ofstream config(setup.config);
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
    if (!config) {
        throw std::runtime_error("cannot write " + setup.config.string());
    }
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

std::string runProgram(const std::vector<std::string>& arguments,
                       const std::map<std::string, std::string>& environment) {
    if (arguments.empty()) {
        throw std::invalid_argument("runProgram needs a program");
    }
    std::vector<std::string> argumentTexts = arguments;
    std::vector<std::string> environmentTexts = mergedEnvironment(environment);
    const std::vector<char*> argv = pointersTo(argumentTexts);
    const std::vector<char*> envp = pointersTo(environmentTexts);
    Pipe out;
    Pipe err;
    const pid_t pid = ::fork();
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        ::dup2(out.writeEnd(), STDOUT_FILENO);
        ::dup2(err.writeEnd(), STDERR_FILENO);
        const int devNull = ::open("/dev/null", O_RDONLY);
        ::dup2(devNull, STDIN_FILENO);
        ::execvpe(argv[0], argv.data(), envp.data());
        const std::string message = "cannot run " + arguments[0] + ": " + std::strerror(errno);
        [[maybe_unused]] const auto ignored =
            ::write(STDERR_FILENO, message.data(), message.size());
        ::_exit(127);
    }
    out.closeWrite();
    err.closeWrite();
    std::string outText;
    std::string errText;
    drain(out, err, outText, errText);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error("command failed (" + std::to_string(status) +
                                 "): " + joined(arguments) + "\n" + errText);
    }
    return outText;
}

std::string hexOf(const std::string& bytes) {
    static constexpr const char* digits = "0123456789abcdef";
    std::string hex;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        hex.push_back(digits[byte >> 4]);
        hex.push_back(digits[byte & 0x0f]);
    }
    return hex;
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
        dir / (name + ".key.pem"),
        dir / (name + ".cert.pem"),
        dir / (name + ".cert.der"),
        dir / (name + ".p12"),
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
    runProgram({"openssl", "pkcs12", "-export", "-inkey", issued.keyPem.string(), "-in",
                issued.certPem.string(), "-name", name, "-passout", "pass:" + issued.pkcs12Password,
                "-out", issued.pkcs12.string()});
    return issued;
}

}  // namespace kivo::testing
