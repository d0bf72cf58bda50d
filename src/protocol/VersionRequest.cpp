#include "protocol/VersionRequest.h"

#include "certs/CertificateSelection.h"
#include "foundation/Log.h"
#include "foundation/SigningError.h"
#include "protocol/LazyKeyStore.h"

namespace kivo::protocol {

using foundation::SigningError;
namespace error_code = foundation::error_code;
namespace {

std::vector<std::string> splitOnDots(const std::string& text) {
    std::vector<std::string> pieces{std::string()};
    for (const char c : text) {
        if (c == '.') {
            pieces.emplace_back();
        } else {
            pieces.back().push_back(c);
        }
    }
    return pieces;
}

JsonVersionResponse signerCertificateResponse(const certs::UserDetails& userDetails,
                                              const RequestServices& services) {
    JsonVersionResponse response;
    try {
        LazyKeyStore store(services.openKeyStore);
        const certs::CertificateSelection selection = certs::findSigningCertificate(
            userDetails, store, services.tokenClassId,
            std::chrono::floor<std::chrono::milliseconds>(services.now()));
        response.certSerial = selection.serial;
        response.certExpiry = selection.expiry;
        response.certIssuer = selection.issuer;
    } catch (const SigningError& error) {
        foundation::writeLog(foundation::LogLevel::error, "SigningError loading certificate (" +
                                                              std::to_string(error.code()) +
                                                              "): " + error.message());
        response.result = "error";
        response.errorMessage = error.message();
        response.errorCode = error.code();
    }
    return response;
}

}  // namespace

JsonVersionResponse handleVersionRequest(const JsonRequest& request,
                                         const RequestServices& services) {
    JsonVersionResponse response = request.userDetails
                                       ? signerCertificateResponse(*request.userDetails, services)
                                       : JsonVersionResponse{};
    fillVersionInfo(response, services.versionFacts);
    return response;
}

void fillVersionInfo(JsonVersionResponse& response, const VersionFacts& facts) {
    const std::vector<std::string> pieces = splitOnDots(facts.bundleVersion);
    // Unreachable in a build: the host is given CMakeLists.txt's project version, which has four
    // parts.
    if (pieces.size() != 4) {
        throw SigningError(error_code::internal,
                           "Invalid application version number: " + facts.bundleVersion);
    }
    response.major = pieces[0];
    response.minor = pieces[1];
    response.release = pieces[2];
    response.build = pieces[3];
    response.version = facts.bundleVersion;
    response.os = facts.os;
    response.osType = facts.osType;
    response.installLocation = facts.installLocation;
}

}  // namespace kivo::protocol
