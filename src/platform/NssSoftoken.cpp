#include "platform/NssSoftoken.h"

#include <array>
#include <cstdio>

#include "foundation/Log.h"
#include "platform/Pkcs11Result.h"

namespace kivo::platform {
namespace {

// NSS's vendor-defined object class and attribute for adding a database slot at run time.
constexpr CK_OBJECT_CLASS nssNewSlotClass = 0xCE534355;  // CKO_NSS_NEWSLOT
constexpr CK_ATTRIBUTE_TYPE nssModuleSpec = 0xCE534368;  // CKA_NSS_MODULE_SPEC
// The slot IDs the softoken accepts for databases added at run time.
constexpr CK_SLOT_ID firstUserSlot = 4;
constexpr CK_SLOT_ID lastUserSlot = 100;
constexpr std::size_t tokenLabelSize = 32;

// The softoken without a database of its own: every database becomes a slot added below, so
// one broken database cannot keep the others from opening.
constexpr const char* softokenWithoutDatabase =
    "configdir='' certPrefix='' keyPrefix='' secmod='' "
    "flags=readOnly,noCertDB,noModDB,forceOpen,optimizeSpace";

// NSS's parameter quoting: `quote` and backslash get a backslash in front.
std::string escaped(std::string_view text, char quote) {
    std::string result;
    for (const char c : text) {
        if (c == quote || c == '\\') {
            result.push_back('\\');
        }
        result.push_back(c);
    }
    return result;
}

std::string hexSlot(CK_SLOT_ID slot) {
    std::array<char, 24> text{};
    std::snprintf(text.data(), text.size(), "0x%lx", static_cast<unsigned long>(slot));
    return text.data();
}

// The label fits the token field; it only tells the slots apart (prompts use the store name).
std::string tokenDescription(std::string_view storeName) {
    std::string label;
    for (const char c : storeName) {
        if (label.size() == tokenLabelSize) {
            break;
        }
        const auto byte = static_cast<unsigned char>(c);
        label.push_back(byte >= 0x20 && byte < 0x7f ? c : '_');
    }
    return label;
}

// The softoken parameters that open `directory` read-only as the slot `slot`, quoted the way
// the new-slot object takes them.
std::string nssNewSlotText(const std::filesystem::path& directory, CK_SLOT_ID slot,
                           std::string_view tokenDescription) {
    const std::string parameters = "configdir='sql:" + escaped(directory.string(), '\'') +
                                   "' certPrefix='' keyPrefix='' tokenDescription='" +
                                   escaped(tokenDescription, '\'') + "' flags=readOnly";
    return "tokens=[" + hexSlot(slot) + "=<" + escaped(escaped(parameters, '>'), ']') + ">]";
}

// Adds `directory` as slot `slot`. Throws Pkcs11Error.
void openDatabaseSlot(const std::shared_ptr<const Pkcs11Module>& module, CK_SLOT_ID controlSlot,
                      const NssDatabaseLocation& database, CK_SLOT_ID slot) {
    const Pkcs11Session session(module, controlSlot);
    std::string text =
        nssNewSlotText(database.directory, slot, tokenDescription(database.storeName));
    CK_OBJECT_CLASS objectClass = nssNewSlotClass;
    std::array<CK_ATTRIBUTE, 2> attributes{
        {{CKA_CLASS, &objectClass, sizeof objectClass},
         {nssModuleSpec, text.data(), static_cast<CK_ULONG>(text.size() + 1)}}};
    CK_OBJECT_HANDLE created = CK_INVALID_HANDLE;
    check(module->functions().C_CreateObject(session.handle(), attributes.data(), attributes.size(),
                                             &created));
}

}  // namespace

// Why the softoken and not libnss3: NSS_Initialize hands the softoken one parameter text, and
// SECMOD_OpenUserDB adds each further database as a new slot of that same softoken through the
// CKO_NSS_NEWSLOT object. Doing those two steps here gives the same single softoken with one
// read-only slot per database, while every key stays behind the PKCS#11 interface the smart
// cards use. libnss3 would add its own certificate cache, module database and password
// callback on top, and load the databases' pkcs11.txt modules itself, which the key store
// wants to load once together with p11-kit's.
OpenedNssDatabases openNssDatabases(const std::filesystem::path& softokenPath,
                                    const std::vector<NssDatabaseLocation>& databases,
                                    KeyStoreInventory* inventory) {
    OpenedNssDatabases opened;
    std::vector<std::pair<const NssDatabaseLocation*, CK_SLOT_ID>> wanted;
    // Where each wanted database's record is, when there is an inventory.
    std::vector<std::size_t> records;
    const auto record = [&](const NssDatabaseLocation& database, NssDatabaseRecord::State state,
                            std::string detail) {
        if (inventory != nullptr) {
            inventory->databases.push_back(
                {database.directory, database.storeName, state, std::move(detail), false, {}});
        }
    };
    CK_SLOT_ID nextSlot = firstUserSlot;
    for (const NssDatabaseLocation& database : databases) {
        foundation::writeDebug(
            [&] { return "Searching NSS database " + database.directory.string(); });
        std::error_code error;
        if (!std::filesystem::is_regular_file(database.directory / "cert9.db", error)) {
            foundation::writeDebug(
                [&] { return "No NSS database (cert9.db) in " + database.directory.string(); });
            record(database, NssDatabaseRecord::State::noDatabase, {});
            continue;
        }
        if (nextSlot > lastUserSlot) {
            foundation::writeDebug(
                [&] { return "Too many NSS databases; skipping " + database.directory.string(); });
            record(database, NssDatabaseRecord::State::skipped, "too many NSS databases");
            continue;
        }
        wanted.emplace_back(&database, nextSlot++);
        record(database, NssDatabaseRecord::State::opened, {});
        records.push_back(inventory != nullptr ? inventory->databases.size() - 1 : 0);
    }
    if (wanted.empty()) {
        return opened;
    }
    foundation::writeDebug([&] { return "Loading NSS softoken " + softokenPath.string(); });
    std::shared_ptr<Pkcs11Module> module;
    std::vector<CK_SLOT_ID> builtInSlots;
    try {
        module = Pkcs11Module::loadWithReservedText(softokenPath, softokenWithoutDatabase);
        builtInSlots = module->slotsWithToken();
        if (builtInSlots.empty()) {
            throw Pkcs11Error(CKR_SLOT_ID_INVALID);
        }
    } catch (const Pkcs11Error& failure) {
        for (std::size_t i = 0; inventory != nullptr && i < records.size(); ++i) {
            inventory->databases[records[i]].state = NssDatabaseRecord::State::failed;
            inventory->databases[records[i]].detail =
                std::string("the NSS softoken did not start: ") + failure.what();
        }
        throw;
    }
    for (std::size_t i = 0; i < wanted.size(); ++i) {
        const auto& [database, slot] = wanted[i];
        NssDatabaseRecord* const entry =
            inventory != nullptr ? &inventory->databases[records[i]] : nullptr;
        try {
            openDatabaseSlot(module, builtInSlots.front(), *database, slot);
            const CK_TOKEN_INFO info = module->tokenInfo(slot);
            opened.tokens.push_back(
                std::make_shared<Pkcs11Token>(module, slot, info, database->storeName));
            if (entry != nullptr) {
                entry->passwordProtected = (info.flags & CKF_LOGIN_REQUIRED) != 0;
                opened.tokenRecords.push_back(records[i]);
            }
        } catch (const Pkcs11Error& failure) {
            foundation::writeLog(foundation::LogLevel::error, "Cannot open NSS database " +
                                                                  database->directory.string() +
                                                                  " (" + failure.what() + ")");
            opened.lastFailure = failure.result();
            if (entry != nullptr) {
                entry->state = NssDatabaseRecord::State::failed;
                entry->detail = failure.what();
            }
        }
    }
    return opened;
}

std::optional<std::string> nssSoftokenVersion(const std::filesystem::path& softokenPath) {
    try {
        const auto module =
            Pkcs11Module::loadWithReservedText(softokenPath, softokenWithoutDatabase);
        CK_INFO info{};
        check(module->functions().C_GetInfo(&info));
        return std::to_string(info.libraryVersion.major) + "." +
               std::to_string(info.libraryVersion.minor);
    } catch (const Pkcs11Error&) {
        return std::nullopt;
    }
}

}  // namespace kivo::platform
