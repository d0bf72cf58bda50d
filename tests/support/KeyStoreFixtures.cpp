#include "support/KeyStoreFixtures.h"

#include <cstdlib>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "support/TempDir.h"

namespace kivo::testing {
namespace fs = std::filesystem;

namespace {

constexpr const char* soPin = "87654321";

std::string trimmed(const std::string& text) {
    const auto begin = text.find_first_not_of(" \t\r\n");
    const auto end = text.find_last_not_of(" \t\r\n");
    return begin == std::string::npos ? std::string() : text.substr(begin, end - begin + 1);
}

// The serial that softhsm2-util gave the token labelled `label`.
std::string tokenSerial(const Environment& environment, const std::string& label) {
    std::string serial;
    for (const std::string& line :
         linesOf(runProgram({"softhsm2-util", "--show-slots"}, environment))) {
        const std::string text = trimmed(line);
        if (text.starts_with("Serial number:")) {
            serial = trimmed(text.substr(14));
        } else if (text.starts_with("Label:") && trimmed(text.substr(6)) == label) {
            return serial;
        }
    }
    throw std::runtime_error("softhsm2-util lists no token labelled " + label);
}

}  // namespace

Environment mergedEnvironments(const std::vector<Environment>& parts) {
    Environment merged;
    for (const auto& part : parts) {
        for (const auto& [name, value] : part) {
            merged[name] = value;
        }
    }
    return merged;
}

ScopedEnvironment::ScopedEnvironment(const Environment& values) {
    for (const auto& [name, value] : values) {
        const char* previous = std::getenv(name.c_str());
        saved_[name] = previous != nullptr ? std::optional<std::string>(previous) : std::nullopt;
        ::setenv(name.c_str(), value.c_str(), 1);
    }
}

ScopedEnvironment::~ScopedEnvironment() {
    for (const auto& [name, value] : saved_) {
        if (value) {
            ::setenv(name.c_str(), value->c_str(), 1);
        } else {
            ::unsetenv(name.c_str());
        }
    }
}

TestHome::TestHome(fs::path path) : path_(std::move(path)) {
    const fs::path config = path_ / ".config" / "pkcs11";
    writeFile(config / "pkcs11.conf", "user-config: only\n");
    writeFile(config / "modules" / "softhsm2.module",
              "module: " + SoftHsm::modulePath().string() + "\n");
}

Environment TestHome::environment() const {
    return {{"HOME", path_.string()}, {"XDG_CONFIG_HOME", (path_ / ".config").string()}};
}

SoftHsm::SoftHsm(fs::path folder)
    : folder_(std::move(folder)), configFile_(folder_ / "softhsm2.conf") {
    fs::create_directories(folder_ / "tokens");
    writeFile(configFile_, "directories.tokendir = " + (folder_ / "tokens").string() +
                               "\nobjectstore.backend = file\nlog.level = ERROR\n"
                               "slots.removable = false\n");
}

fs::path SoftHsm::modulePath() {
    for (const char* candidate : {"/usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so",
                                  "/usr/lib/aarch64-linux-gnu/softhsm/libsofthsm2.so",
                                  "/usr/lib/softhsm/libsofthsm2.so", "/usr/lib64/libsofthsm2.so"}) {
        if (fs::exists(candidate)) {
            return candidate;
        }
    }
    throw std::runtime_error("libsofthsm2.so not found (install softhsm2)");
}

Environment SoftHsm::environment() const {
    return {{"SOFTHSM2_CONF", configFile_.string()}};
}

SoftHsmToken SoftHsm::addToken(const std::string& label, const std::string& userPin) const {
    runProgram({"softhsm2-util", "--init-token", "--free", "--label", label, "--pin", userPin,
                "--so-pin", soPin},
               environment());
    return SoftHsmToken(configFile_, label, userPin, tokenSerial(environment(), label));
}

SoftHsmToken::SoftHsmToken(fs::path configFile, std::string label, std::string userPin,
                           std::string serial)
    : configFile_(std::move(configFile)),
      label_(std::move(label)),
      userPin_(std::move(userPin)),
      serial_(std::move(serial)) {}

Environment SoftHsmToken::environment() const {
    return {{"SOFTHSM2_CONF", configFile_.string()}};
}

std::vector<std::string> SoftHsmToken::toolCommand() const {
    return {"pkcs11-tool",   "--module", SoftHsm::modulePath().string(),
            "--token-label", label_,     "--login",
            "--pin",         userPin_};
}

void SoftHsmToken::importIdentity(const IssuedCertificate& certificate, const std::string& idHex,
                                  const ImportOptions& options) const {
    std::vector<std::string> key = toolCommand();
    key.insert(key.end(), {"--write-object", certificate.keyPem.string(), "--type", "privkey",
                           "--id", idHex, "--label", "key-" + idHex, "--usage-sign"});
    if (!options.allowedMechanisms.empty()) {
        std::string list;
        for (const auto& mechanism : options.allowedMechanisms) {
            list += (list.empty() ? "" : ",") + mechanism;
        }
        key.insert(key.end(), {"--allowed-mechanisms", list});
    }
    if (options.alwaysAuthenticate) {
        key.push_back("--always-auth");
    }
    runProgram(key, environment());
    importCertificateOnly(certificate, idHex);
}

void SoftHsmToken::importCertificateOnly(const IssuedCertificate& certificate,
                                         const std::string& idHex) const {
    std::vector<std::string> command = toolCommand();
    command.insert(command.end(), {"--write-object", certificate.certDer.string(), "--type", "cert",
                                   "--id", idHex, "--label", "cert-" + idHex});
    runProgram(command, environment());
}

void SoftHsmToken::importRawCertificate(const std::string& value,
                                        const IssuedCertificate& placeholder,
                                        const std::string& idHex) const {
    importCertificateOnly(placeholder, idHex);
    const std::string original = readFile(placeholder.certDer);
    if (value.size() > original.size()) {
        throw std::invalid_argument("raw certificate value longer than the placeholder");
    }
    // The same length keeps the object file's layout.
    std::string replacement = value;
    replacement.resize(original.size(), '\0');
    const fs::path tokens = configFile_.parent_path() / "tokens";
    for (const auto& entry : fs::recursive_directory_iterator(tokens)) {
        if (entry.path().extension() != ".object") {
            continue;
        }
        std::string contents = readFile(entry.path());
        const auto at = contents.find(original);
        if (at != std::string::npos) {
            contents.replace(at, original.size(), replacement);
            writeFile(entry.path(), contents);
            return;
        }
    }
    throw std::runtime_error("placeholder certificate not found in the token's objects");
}

void SoftHsmToken::lockUserPin() const {
    // The token flags attribute: its type (CKA_VENDOR_DEFINED + 0x534b), the unsigned-long
    // kind, then the value, each eight bytes big-endian.
    const std::string flagsAttribute("\0\0\0\0\x80\0\x53\x4b\0\0\0\0\0\0\0\x02", 16);
    const fs::path tokens = configFile_.parent_path() / "tokens";
    for (const auto& entry : fs::recursive_directory_iterator(tokens)) {
        std::string contents = readFile(entry.path());
        const auto at = contents.find(flagsAttribute);
        if (entry.path().filename() != "token.object" ||
            contents.find(serial_) == std::string::npos || at == std::string::npos) {
            continue;
        }
        // CKF_USER_PIN_LOCKED is 0x00040000: byte 5 of the big-endian value.
        contents[at + flagsAttribute.size() + 5] |= 0x04;
        writeFile(entry.path(), contents);
        return;
    }
    throw std::runtime_error("no token object with serial " + serial_);
}

RegisteredModules::RegisteredModules(fs::path folder) : folder_(std::move(folder)) {
    fs::create_directories(folder_);
}

void RegisteredModules::add(const std::string& name, const fs::path& library) const {
    writeFile(folder_ / (name + ".module"), "module: " + library.string() + "\n");
}

std::vector<std::string> RegisteredModules::launcher() const {
    return {(fs::path(KIVO_SOURCE_DIR) / "tests" / "support" / "with-modules").string(),
            folder_.string()};
}

NssDatabase::NssDatabase(const fs::path& home, std::optional<std::string> password)
    : NssDatabase(home / ".pki" / "nssdb", home / ".pki" / "nssdb-password", password) {}

NssDatabase NssDatabase::inFolder(const fs::path& directory, std::optional<std::string> password) {
    return NssDatabase(directory, directory.string() + "-password", password);
}

NssDatabase::NssDatabase(fs::path directory, fs::path passwordFile,
                         const std::optional<std::string>& password)
    : directory_(std::move(directory)), passwordFile_(std::move(passwordFile)) {
    fs::create_directories(directory_);
    writeFile(passwordFile_, password.value_or("") + "\n");
    std::vector<std::string> command{"certutil", "-N", "-d", "sql:" + directory_.string()};
    if (password) {
        command.insert(command.end(), {"-f", passwordFile_.string()});
    } else {
        command.push_back("--empty-password");
    }
    runProgram(command);
}

void NssDatabase::importPkcs12(const IssuedCertificate& certificate,
                               const std::string& nickname) const {
    // pk12util names the entry after the friendly name inside the file; re-export under the
    // wanted nickname so tests can tell entries apart.
    const fs::path renamed = directory_.parent_path() / (nickname + ".p12");
    runProgram({"openssl", "pkcs12", "-export", "-inkey", certificate.keyPem.string(), "-in",
                certificate.certPem.string(), "-name", nickname, "-passout",
                "pass:" + certificate.pkcs12Password, "-out", renamed.string()});
    runProgram({"pk12util", "-i", renamed.string(), "-d", "sql:" + directory_.string(), "-W",
                certificate.pkcs12Password, "-k", passwordFile_.string()});
    fs::remove(renamed);
}

void NssDatabase::registerModule(const std::string& name, const fs::path& library) const {
    runProgram({"modutil", "-force", "-add", name, "-libfile", library.string(), "-dbdir",
                "sql:" + directory_.string()});
}

FirefoxProfiles::FirefoxProfiles(fs::path root) : root_(std::move(root)) {
    fs::create_directories(root_);
}

void FirefoxProfiles::listProfile(const std::string& name, const std::string& folder,
                                  bool installDefault) {
    if (installDefault) {
        installs_ +=
            "[Install" + std::to_string(4000 + count_) + "]\nDefault=" + folder + "\nLocked=1\n\n";
    }
    profiles_ += "[Profile" + std::to_string(count_++) + "]\nName=" + name +
                 "\nIsRelative=1\nPath=" + folder + "\n\n";
    writeFile(root_ / "profiles.ini",
              installs_ + profiles_ + "[General]\nStartWithLastProfile=1\nVersion=2\n");
}

NssDatabase FirefoxProfiles::addProfile(const std::string& name, const std::string& folder,
                                        bool installDefault, std::optional<std::string> password) {
    listProfile(name, folder, installDefault);
    return NssDatabase::inFolder(root_ / folder, std::move(password));
}

fs::path FirefoxProfiles::addEmptyProfile(const std::string& name, const std::string& folder) {
    listProfile(name, folder, false);
    fs::create_directories(root_ / folder);
    return root_ / folder;
}

PinAnswerScript PinAnswerScript::pin(const std::string& pin) {
    static constexpr const char* hex = "0123456789ABCDEF";
    std::string line = "pin ";
    for (const char c : pin) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '%' || byte < 0x20) {
            line += {'%', hex[byte >> 4], hex[byte & 0x0f]};
        } else {
            line += c;
        }
    }
    return {line};
}

ScriptedPinentry::ScriptedPinentry(fs::path folder) : folder_(std::move(folder)) {
    answer({});
}

fs::path ScriptedPinentry::scriptPath() {
    return fs::path(KIVO_SOURCE_DIR) / "tests" / "support" / "scripted-pinentry";
}

void ScriptedPinentry::answer(const std::vector<PinAnswerScript>& answers) const {
    std::string text;
    for (const auto& answer : answers) {
        text += answer.line + "\n";
    }
    writeFile(folder_ / "answers", text);
    writeFile(folder_ / "asked", "0\n");
    writeFile(folder_ / "log", "");
    writeFile(folder_ / "dialogs", "");
}

std::vector<PinentryDialog> ScriptedPinentry::dialogs() const {
    std::vector<PinentryDialog> dialogs;
    for (const std::string& line : linesOf(readFile(folder_ / "dialogs"))) {
        const std::size_t tab = line.find('\t');
        PinentryDialog dialog;
        dialog.kind = line.substr(0, tab);
        const std::string escaped = tab == std::string::npos ? "" : line.substr(tab + 1);
        for (std::size_t i = 0; i < escaped.size(); ++i) {
            if (escaped[i] == '%' && i + 2 < escaped.size()) {
                dialog.description +=
                    static_cast<char>(std::stoi(escaped.substr(i + 1, 2), nullptr, 16));
                i += 2;
            } else {
                dialog.description += escaped[i];
            }
        }
        dialogs.push_back(std::move(dialog));
    }
    return dialogs;
}

int ScriptedPinentry::questionsAsked() const {
    return std::stoi(trimmed(readFile(folder_ / "asked")));
}

std::vector<std::string> ScriptedPinentry::commands() const {
    return linesOf(readFile(folder_ / "log"));
}

Environment ScriptedPinentry::environment() const {
    return {{"KIVO_PINENTRY", scriptPath().string()}, {"KIVO_TEST_PINENTRY_DIR", folder_.string()}};
}

SigningFixture::SigningFixture(Contents contents) {
    if (contents == Contents::empty) {
        return;
    }
    token.emplace(hsm.addToken("Kivo Tests", "90817263"));
    token->importIdentity(jane, "01");
    token->importIdentity(john, "02", {{"RSA-PKCS"}});
    NssDatabase(home.path()).importPkcs12(nora, "nora");
    pinentry.answer(std::vector<PinAnswerScript>(100, PinAnswerScript::pin(token->userPin())));
}

Environment SigningFixture::environment() const {
    return mergedEnvironments({home.environment(), hsm.environment(), pinentry.environment()});
}

SigningFixture& signingFixture() {
    static const auto fixture = std::make_unique<SigningFixture>();
    return *fixture;
}

}  // namespace kivo::testing
