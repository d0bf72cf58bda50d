#include "protocol/Dispatch.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>

#include "foundation/Log.h"
#include "foundation/SigningError.h"
#include "foundation/Utf8.h"
#include "protocol/SignRequest.h"
#include "protocol/VersionRequest.h"

namespace kivo::protocol {

using foundation::SigningError;
namespace error_code = foundation::error_code;
namespace {

using foundation::LogLevel;
using foundation::writeLog;

std::string lowerAscii(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// A request as read from the browser, with its payload as text for the log.
struct ReceivedRequest {
    JsonRequest request;
    std::string text;
};

// The next request from `channel`, decoded; none at the end of input. Throws SigningError 101
// for a payload that is not a request.
std::optional<ReceivedRequest> receiveRequest(MessageChannel& channel) {
    std::optional<std::string> payload = channel.readRequestMessage();
    if (!payload) {
        return std::nullopt;
    }
    foundation::writeDebug(
        [&] { return "Request message = " + foundation::loggableText(*payload); });
    try {
        ReceivedRequest received{decodeRequest(*payload), {}};
        // The text is only ever written to the log as a DEBUG line; when this request cannot
        // turn DEBUG lines on, a large payload is released now instead of living as long as
        // the request.
        if (foundation::verboseLogging() || received.request.verbose == "ON") {
            received.text = std::move(*payload);
        }
        writeLog(LogLevel::info, "Received request message");
        return received;
    } catch (const RequestDecodeError& error) {
        writeLog(LogLevel::error, std::string("Failed to parse JSON request: ") + error.what());
        throw SigningError(error_code::badRequest,
                           std::string("Failed to parse JSON request - ") + error.what());
    }
}

// Restores the verbose flag a request may have turned on, however the request ends.
class VerboseScope {
  public:
    VerboseScope() : before_(foundation::verboseLogging()) {}
    VerboseScope(const VerboseScope&) = delete;
    VerboseScope& operator=(const VerboseScope&) = delete;
    ~VerboseScope() { foundation::setVerboseLogging(before_); }

  private:
    bool before_;
};

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

namespace {

RequestOutcome answerRequest(MessageChannel& channel, const RequestServices& services) {
    std::optional<ReceivedRequest> received = receiveRequest(channel);
    if (!received) {
        return RequestOutcome::endOfInput;
    }
    JsonRequest& request = received->request;
    if (request.verbose == "ON") {
        foundation::setVerboseLogging(true);
    }
    foundation::checkLogSize();
    foundation::writeDebug([&] { return "Request message = " + received->text; });
    if (request.idleTimeout) {
        applyIdleTimeout(*request.idleTimeout, services);
    }
    dispatchByType(std::move(request), channel, services);
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

}  // namespace

RequestOutcome processRequest(MessageChannel& channel, const RequestServices& services) {
    // Restored only after an error answer, so that answer is logged under the request's own
    // verbosity.
    const VerboseScope verboseScope;
    try {
        return answerRequest(channel, services);
    } catch (...) {
        answerWithError(channel, std::current_exception());
        return RequestOutcome::failed;
    }
}

}  // namespace kivo::protocol
