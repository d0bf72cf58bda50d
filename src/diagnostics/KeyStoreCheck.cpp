#include "diagnostics/KeyStoreCheck.h"

#include <unistd.h>

namespace kivo::diagnostics {
namespace {

using nlohmann::json;
using platform::NssDatabaseRecord;

std::string_view stateKey(NssDatabaseRecord::State state) {
    switch (state) {
        case NssDatabaseRecord::State::skipped:
            return "skipped";
        case NssDatabaseRecord::State::opened:
            return "opened";
        case NssDatabaseRecord::State::failed:
            return "failed";
        case NssDatabaseRecord::State::noDatabase:
            break;
    }
    return "no_database";
}

void reportDatabase(const NssDatabaseRecord& database, Section& section) {
    const bool readable = ::access((database.directory / "cert9.db").c_str(), R_OK) == 0;
    std::string text = database.storeName + " (" + database.directory.string() + "): ";
    Mark mark = Mark::ok;
    switch (database.state) {
        case NssDatabaseRecord::State::noDatabase:
            text += "no database (no cert9.db)";
            break;
        case NssDatabaseRecord::State::skipped:
            text += "not searched: " + database.detail;
            mark = Mark::warning;
            break;
        case NssDatabaseRecord::State::failed:
            text += "cannot be opened (" + database.detail + ")";
            mark = Mark::warning;
            break;
        case NssDatabaseRecord::State::opened:
            text += "opened read-only, ";
            text += database.passwordProtected ? "password-protected" : "no password";
            text += ", certificates with a private key: " +
                    (database.identities ? std::to_string(*database.identities)
                                         : std::string("unknown (behind the password)"));
            break;
    }
    const bool opened = database.state == NssDatabaseRecord::State::opened;
    section.add(mark, text,
                {{"check", "nss_database"},
                 {"folder", database.directory.string()},
                 {"store", database.storeName},
                 {"state", stateKey(database.state)},
                 {"readable", readable},
                 {"password_protected", opened ? json(database.passwordProtected) : json()},
                 {"identities", database.identities ? json(*database.identities) : json()},
                 {"error", database.detail.empty() ? json() : json(database.detail)}});
}

void reportModule(const platform::ModuleRecord& module, Section& section) {
    std::string text = "PKCS#11 module " + module.library + " (" + module.registeredIn + "): ";
    if (module.loaded) {
        text += "loaded, C_Initialize " + module.initializeResult;
        if (module.trustPolicy) {
            text += "; trust policy (CA certificates only), not searched";
        }
    } else {
        text += "not loaded: " + module.initializeResult;
    }
    section.add(module.loaded ? Mark::ok : Mark::warning, text,
                {{"check", "module"},
                 {"library", module.library},
                 {"registered_in", module.registeredIn},
                 {"loaded", module.loaded},
                 {"initialize_result", module.initializeResult},
                 {"trust_policy", module.trustPolicy}});
}

void reportToken(const platform::TokenRecord& token, const std::string& tokenClassId,
                 const std::optional<std::string>& signingStore, Section& section,
                 std::vector<Blocker>& blockers) {
    const bool searched = token.uri.find(tokenClassId) != std::string::npos;
    std::string text = "Token \"" + token.label + "\" (" + token.manufacturer + ", " + token.model +
                       ", serial " + token.serial + ", " + token.library + "): ";
    text += searched ? "searched" : "not searched: its URI lacks \"" + tokenClassId + "\"";
    text += token.loginRequired ? ", login required" : ", no login";
    if (token.pinPad) {
        text += ", PIN pad";
    }
    Mark mark = Mark::ok;
    if (token.pinLocked) {
        text += ", PIN LOCKED";
        mark = Mark::problem;
    } else if (token.pinFinalTry) {
        text += ", one PIN try left";
        mark = Mark::warning;
    } else if (token.pinCountLow) {
        text += ", few PIN tries left";
        mark = Mark::warning;
    }
    section.add(searched ? mark : Mark::ok, text,
                {{"check", "token"},
                 {"library", token.library},
                 {"uri", token.uri},
                 {"label", token.label},
                 {"manufacturer", token.manufacturer},
                 {"model", token.model},
                 {"serial", token.serial},
                 {"searched", searched},
                 {"login_required", token.loginRequired},
                 {"pin_pad", token.pinPad},
                 {"pin_count_low", token.pinCountLow},
                 {"pin_final_try", token.pinFinalTry},
                 {"pin_locked", token.pinLocked}});
    if (searched && token.pinLocked && (!signingStore || *signingStore == token.label)) {
        blockers.push_back({"The token \"" + token.label +
                                "\" is locked: its PIN was entered wrongly too often, and it "
                                "signs nothing until it is unlocked",
                            "unlock it with its PUK or security officer PIN, using the card "
                            "issuer's tool (docs/key-stores.md)"});
    }
}

}  // namespace

void checkKeyStores(const platform::KeyStoreInventory& inventory, const std::string& tokenClassId,
                    const std::optional<std::string>& signingStore, Section& section,
                    std::vector<Blocker>& blockers) {
    if (inventory.databases.empty()) {
        section.add(Mark::ok,
                    "No NSS database to search (none in ~/.pki/nssdb or a Firefox "
                    "profile)",
                    {{"check", "nss_databases"}, {"count", 0}});
    }
    for (const auto& database : inventory.databases) {
        reportDatabase(database, section);
    }
    for (const auto& module : inventory.modules) {
        reportModule(module, section);
    }
    if (inventory.tokens.empty()) {
        section.add(Mark::ok, "No smart card or other token present",
                    {{"check", "tokens"}, {"count", 0}});
    }
    for (const auto& token : inventory.tokens) {
        reportToken(token, tokenClassId, signingStore, section, blockers);
    }
}

}  // namespace kivo::diagnostics
