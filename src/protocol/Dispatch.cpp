#include "protocol/Dispatch.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>

#include "host/Log.h"
#include "protocol/SignRequest.h"
#include "protocol/SigningError.h"
#include "protocol/VersionRequest.h"

namespace kivo::protocol {
namespace {

using host::LogLevel;
using host::writeLog;

std::string lowerAscii(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

void applyIdleTimeout(std::int64_t milliseconds, const RequestServices& services) {
    const double seconds = static_cast<double>(milliseconds) / 1000.0;
    writeLog(LogLevel::info, "Setting idle timeout = " + formatSeconds(seconds) + " secs");
    services.setIdlePeriod(seconds);
}

void dispatchByType(JsonRequest request, MessageChannel& channel, const RequestServices& services) {
    if (!request.type) {
        throw SigningError(error_code::badRequest,
                           "Request type is missing from the request message");
    }
    writeLog(LogLevel::info, "Request type = " + *request.type);
    const std::string type = lowerAscii(*request.type);
    if (type == "sign") {
        handleSignRequest(std::move(request), channel, services);
    } else if (type == "version") {
        channel.writeResponseMessage(encodeResponse(handleVersionRequest(request, services)));
    } else {
        throw SigningError(error_code::badRequest, "Request type is unknown: " + *request.type);
    }
}

}  // namespace

std::string formatSeconds(double seconds) {
    // Fixed notation: the shortest form would write 100000 as "1e+05". 400 characters hold any
    // finite double written out in full.
    std::array<char, 400> buffer{};
    const auto [end, error] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), seconds,
                                            std::chars_format::fixed);
    std::string text(buffer.data(), error == std::errc() ? end : buffer.data());
    if (text.find_first_of(".n") == std::string::npos) {
        text += ".0";
    }
    return text;
}

RequestOutcome processRequest(MessageChannel& channel, const RequestServices& services) {
    std::optional<ReceivedRequest> received = channel.readRequestMessage();
    if (!received) {
        return RequestOutcome::endOfInput;
    }
    JsonRequest& request = received->request;
    const bool verboseBefore = host::verboseLogging();
    if (request.verbose == "ON") {
        host::setVerboseLogging(true);
    }
    host::checkLogSize();
    host::writeDebug([&] { return "Request message = " + received->text; });
    if (request.idleTimeout) {
        applyIdleTimeout(*request.idleTimeout, services);
    }
    dispatchByType(std::move(request), channel, services);
    host::setVerboseLogging(verboseBefore);
    return RequestOutcome::answered;
}

JsonErrorResponse errorResponseFor(const std::exception_ptr& failure) {
    JsonErrorResponse response;
    try {
        std::rethrow_exception(failure);
    } catch (const SigningError& error) {
        writeLog(LogLevel::error,
                 "SigningError (" + std::to_string(error.code()) + "): " + error.message());
        response.errorCode = error.code();
        response.errorMessage = error.message();
    } catch (const std::exception& error) {
        writeLog(LogLevel::error, std::string("Unexpected error: ") + error.what());
        response.errorCode = error_code::internal;
        response.errorMessage = std::string("Unexpected - ") + error.what();
    } catch (...) {
        writeLog(LogLevel::error, "Unexpected error: unknown failure");
        response.errorCode = error_code::internal;
        response.errorMessage = "Unexpected - unknown failure";
    }
    return response;
}

void answerWithError(MessageChannel& channel, const std::exception_ptr& failure) {
    channel.writeResponseMessage(encodeResponse(errorResponseFor(failure)));
    writeLog(LogLevel::info, "Application terminating due to error");
}

}  // namespace kivo::protocol
