#include "diagnostics/HostCheck.h"

#include <libxml/parser.h>
#include <openssl/crypto.h>

#include <cstdlib>

#include "BuildConfig.h"
#include "platform/NssSoftoken.h"
#include "platform/Pkcs11KeyStore.h"

namespace kivo::diagnostics {
namespace {

using nlohmann::json;

// libxml2 names its version as a number: 20914 for 2.9.14.
std::string libxml2Version() {
    const long number = std::strtol(xmlParserVersion, nullptr, 10);
    return std::to_string(number / 10000) + "." + std::to_string(number / 100 % 100) + "." +
           std::to_string(number % 100);
}

}  // namespace

void checkHost(const Surroundings& surroundings, Section& section) {
    section.add(Mark::ok,
                std::string("kivo-signing-host ") + build::version + " for " + build::architecture,
                {{"check", "host"},
                 {"version", build::version},
                 {"architecture", build::architecture},
                 {"token_class", surroundings.tokenClassId}});
    section.add(Mark::ok, "Program: " + surroundings.hostProgram.string(),
                {{"check", "program"}, {"path", surroundings.hostProgram.string()}});

    const auto softokenPath = platform::nssSoftokenPath(platform::defaultKeyStoreOptions());
    const auto softoken = softokenPath ? platform::nssSoftokenVersion(*softokenPath) : std::nullopt;
    const json libraries = {{"check", "libraries"},
                            {"libxml2", libxml2Version()},
                            {"openssl", OpenSSL_version(OPENSSL_VERSION_STRING)},
                            {"nss_softoken", softoken ? json(*softoken) : json()},
                            {"p11_kit", build::p11KitVersion}};
    std::string text = "libxml2 " + libxml2Version() + ", OpenSSL " +
                       OpenSSL_version(OPENSSL_VERSION_STRING) + ", NSS softoken " +
                       softoken.value_or("not found") + ", p11-kit " + build::p11KitVersion +
                       " (built with)";
    if (!softoken) {
        section.add(Mark::warning,
                    text +
                        ": without NSS's softoken (libsoftokn3.so, in the package libnss3) no "
                        "NSS database can be searched",
                    libraries);
    } else {
        section.add(Mark::ok, text, libraries);
    }
}

}  // namespace kivo::diagnostics
