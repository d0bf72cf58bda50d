#include "support/KeyStoreFixtures.h"

#include <cstdlib>
#include <functional>
#include <memory>
#include <regex>
#include <stdexcept>

namespace kivo::testing {
namespace fs = std::filesystem;

namespace {

constexpr const char* soPin = "87654321";

// Rewrites the first regular file below `folder` that `edit` changes; throws `missing` if none.
void editFirstFile(const fs::path& folder,
                   const std::function<bool(const fs::path&, std::string&)>& edit,
                   const std::string& missing) {
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        std::string contents = entry.is_regular_file() ? readFile(entry.path()) : "";
        if (!contents.empty() && edit(entry.path(), contents)) {
            writeFile(entry.path(), contents);
            return;
        }
    }
    throw std::runtime_error(missing);
}

}  // namespace

Environment mergedEnvironments(const std::vector<Environment>& parts) {
    Environment merged;
    // Later parts win: insert keeps what is there.
    for (auto part = parts.rbegin(); part != parts.rend(); ++part) {
        merged.insert(part->begin(), part->end());
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
    static const std::string path =
        runProgram({std::string(KIVO_SOURCE_DIR) + "/scripts/softhsm-module.sh"});
    return path.substr(0, path.find('\n'));
}

Environment SoftHsm::environment() const {
    return {{"SOFTHSM2_CONF", configFile_.string()}};
}

SoftHsmToken SoftHsm::addToken(const std::string& label, const std::string& userPin) const {
    runProgram({"softhsm2-util", "--init-token", "--free", "--label", label, "--pin", userPin,
                "--so-pin", soPin},
               environment());
    std::smatch serial;
    const std::string slots = runProgram({"softhsm2-util", "--show-slots"}, environment());
    if (!std::regex_search(
            slots, serial,
            std::regex("Serial number: +(\\w+)\n.*\n.*\n +Label: +" + label + " *\n"))) {
        throw std::runtime_error("softhsm2-util lists no token labelled " + label);
    }
    return SoftHsmToken(configFile_, label, userPin, serial[1]);
}

void SoftHsmToken::writeObject(const fs::path& file, const std::string& type,
                               const std::string& idHex,
                               const std::vector<std::string>& options) const {
    std::vector<std::string> command{"pkcs11-tool",   "--module", SoftHsm::modulePath().string(),
                                     "--login",       "--pin",    userPin_,
                                     "--token-label", label_};
    command.insert(command.end(), {"--write-object", file.string(), "--type", type, "--id", idHex,
                                   "--label", type + "-" + idHex});
    command.insert(command.end(), options.begin(), options.end());
    runProgram(command, {{"SOFTHSM2_CONF", configFile_.string()}});
}

void SoftHsmToken::importIdentity(const IssuedCertificate& certificate, const std::string& idHex,
                                  const std::vector<std::string>& keyOptions) const {
    std::vector<std::string> options{"--usage-sign"};
    options.insert(options.end(), keyOptions.begin(), keyOptions.end());
    writeObject(certificate.keyPem, "privkey", idHex, options);
    writeObject(certificate.certDer, "cert", idHex);
}

void SoftHsmToken::importRawCertificate(const std::string& value,
                                        const IssuedCertificate& placeholder,
                                        const std::string& idHex) const {
    writeObject(placeholder.certDer, "cert", idHex);
    const std::string original = readFile(placeholder.certDer);
    if (value.size() > original.size()) {
        throw std::invalid_argument("raw certificate value longer than the placeholder");
    }
    // The same length keeps the object file's layout.
    std::string replacement = value;
    replacement.resize(original.size(), '\0');
    editFirstFile(
        configFile_.parent_path() / "tokens",
        [&](const fs::path&, std::string& contents) {
            const auto at = contents.find(original);
            return at != std::string::npos &&
                   !contents.replace(at, original.size(), replacement).empty();
        },
        "placeholder certificate not found in the token's objects");
}

void SoftHsmToken::lockUserPin() const {
    // The token flags attribute: its type (CKA_VENDOR_DEFINED + 0x534b), the unsigned-long
    // kind, then the value, each eight bytes big-endian.
    const std::string flagsAttribute("\0\0\0\0\x80\0\x53\x4b\0\0\0\0\0\0\0\x02", 16);
    editFirstFile(
        configFile_.parent_path() / "tokens",
        [&](const fs::path& file, std::string& contents) {
            const auto at = contents.find(flagsAttribute);
            if (file.filename() != "token.object" || contents.find(serial_) == std::string::npos ||
                at == std::string::npos) {
                return false;
            }
            // CKF_USER_PIN_LOCKED is 0x00040000: byte 5 of the big-endian value.
            contents[at + flagsAttribute.size() + 5] |= 0x04;
            return true;
        },
        "no token object with serial " + serial_);
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
    : NssDatabase(inFolder(home / ".pki" / "nssdb", std::move(password))) {}

NssDatabase NssDatabase::inFolder(const fs::path& directory, std::optional<std::string> password) {
    NssDatabase database(Made{}, directory);
    fs::create_directories(directory);
    // An empty password leaves the database without one.
    writeFile(database.passwordFile(), password.value_or("") + "\n");
    runProgram(
        {"certutil", "-N", "-d", "sql:" + directory.string(), "-f", database.passwordFile()});
    return database;
}

void NssDatabase::importPkcs12(const IssuedCertificate& certificate,
                               const std::string& nickname) const {
    // pk12util takes the nickname from the file's friendly name.
    const TempDir work;
    const std::string file = (work / "identity.p12").string();
    runProgram({"openssl", "pkcs12", "-export", "-inkey", certificate.keyPem.string(), "-in",
                certificate.certPem.string(), "-name", nickname, "-passout", "pass:kivo-test",
                "-out", file});
    runProgram({"pk12util", "-i", file, "-d", "sql:" + directory_.string(), "-W", "kivo-test", "-k",
                passwordFile()});
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
        sections_ += "[Install" + std::to_string(4000 + count_) + "]\nDefault=" + folder + "\n\n";
    }
    sections_ += "[Profile" + std::to_string(count_++) + "]\nName=" + name +
                 "\nIsRelative=1\nPath=" + folder + "\n\n";
    writeFile(root_ / "profiles.ini", sections_ + "[General]\nVersion=2\n");
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

ScriptedPinentry::ScriptedPinentry(fs::path folder) : folder_(std::move(folder)) {
    answer({});
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
        std::string description;
        for (std::size_t i = tab + 1; i < line.size(); ++i) {
            const bool escaped = line[i] == '%' && i + 2 < line.size();
            description += escaped
                               ? static_cast<char>(std::stoi(line.substr(i + 1, 2), nullptr, 16))
                               : line[i];
            i += escaped ? 2 : 0;
        }
        dialogs.push_back({line.substr(0, tab), description});
    }
    return dialogs;
}

int ScriptedPinentry::questionsAsked() const {
    return std::stoi(readFile(folder_ / "asked"));
}

std::vector<std::string> ScriptedPinentry::commands() const {
    return linesOf(readFile(folder_ / "log"));
}

Environment ScriptedPinentry::environment() const {
    return {{"KIVO_PINENTRY", std::string(KIVO_SOURCE_DIR) + "/tests/support/scripted-pinentry"},
            {"KIVO_TEST_PINENTRY_DIR", folder_.string()}};
}

SigningFixture::SigningFixture(Contents contents) {
    if (contents == Contents::empty) {
        return;
    }
    token.emplace(hsm.addToken("Kivo Tests", "90817263"));
    token->importIdentity(jane, "01");
    token->importIdentity(john, "02", {"--allowed-mechanisms", "RSA-PKCS"});
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
