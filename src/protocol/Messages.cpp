#include "protocol/Messages.h"

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>

#include "foundation/Encodings.h"
#include "protocol/UsualRequestReader.h"

namespace kivo::protocol {
namespace {

using nlohmann::json;

// No real request nests deeper than a few levels; a hostile one must not cost a deep tree.
constexpr int maximumNestingDepth = 64;

const json* member(const json& object, const char* key) {
    const auto found = object.find(key);
    if (found == object.end() || found->is_null()) {
        return nullptr;
    }
    return &*found;
}

[[noreturn]] void wrongType(const std::string& path, const char* expected, const json& value) {
    throw RequestDecodeError("value of '" + path + "' must be " + expected + ", not " +
                             value.type_name());
}

std::optional<std::string> optionalString(const json& object, const char* key,
                                          const std::string& prefix = "") {
    const json* value = member(object, key);
    if (value == nullptr) {
        return std::nullopt;
    }
    if (!value->is_string()) {
        wrongType(prefix + key, "a string", *value);
    }
    return value->get<std::string>();
}

// Moves the string out of the parsed tree: documents are the bulk of a request.
std::string takeRequiredString(json& object, const char* key, const std::string& prefix) {
    const auto found = object.find(key);
    if (found == object.end() || found->is_null()) {
        throw RequestDecodeError("required key '" + prefix + key + "' is missing");
    }
    if (!found->is_string()) {
        wrongType(prefix + key, "a string", *found);
    }
    return std::move(found->get_ref<std::string&>());
}

// A JSON number counts by its value, not its spelling: 5000.0 and 5e3 are the integer 5000.
std::optional<std::int64_t> wholeNumber(const json& value) {
    if (value.is_number_integer() && !value.is_number_unsigned()) {
        return value.get<std::int64_t>();
    }
    if (value.is_number_unsigned()) {
        const auto number = value.get<std::uint64_t>();
        if (number <= static_cast<std::uint64_t>(INT64_MAX)) {
            return static_cast<std::int64_t>(number);
        }
        return std::nullopt;
    }
    if (value.is_number_float()) {
        const double number = value.get<double>();
        // 2^63 is exact as a double; every double below it and at or above -2^63 fits.
        constexpr double limit = 9223372036854775808.0;
        if (std::isfinite(number) && std::trunc(number) == number && number >= -limit &&
            number < limit) {
            return static_cast<std::int64_t>(number);
        }
    }
    return std::nullopt;
}

std::optional<std::int64_t> optionalInteger(const json& object, const char* key) {
    const json* value = member(object, key);
    if (value == nullptr) {
        return std::nullopt;
    }
    if (const auto number = wholeNumber(*value)) {
        return number;
    }
    constexpr const char* expected = "a whole number within the signed 64-bit range";
    if (value->is_number()) {
        // Naming the type would read "must be a whole number, not number": show the value.
        throw RequestDecodeError(std::string("value of '") + key + "' must be " + expected +
                                 ", not " + value->dump());
    }
    wrongType(key, expected, *value);
}

std::optional<UserDetails> decodeUserDetails(const json& request) {
    const json* details = member(request, "user_details");
    if (details == nullptr) {
        return std::nullopt;
    }
    if (!details->is_object()) {
        wrongType("user_details", "an object", *details);
    }
    UserDetails result;
    if (const json* aki = member(*details, "aki")) {
        if (!aki->is_array()) {
            wrongType("user_details.aki", "an array of strings", *aki);
        }
        std::vector<std::string> entries;
        for (const json& entry : *aki) {
            if (!entry.is_string()) {
                wrongType("user_details.aki[]", "a string", entry);
            }
            entries.push_back(entry.get<std::string>());
        }
        result.aki = std::move(entries);
    }
    result.name = optionalString(*details, "name", "user_details.");
    result.abn = optionalString(*details, "abn", "user_details.");
    result.email = optionalString(*details, "email", "user_details.");
    return result;
}

std::optional<std::vector<XmlData>> decodeXmlData(json& request) {
    const auto found = request.find("xml_data");
    if (found == request.end() || found->is_null()) {
        return std::nullopt;
    }
    json* list = &*found;
    if (!list->is_array()) {
        wrongType("xml_data", "an array", *list);
    }
    std::vector<XmlData> entries;
    entries.reserve(list->size());
    for (json& entry : *list) {
        if (!entry.is_object()) {
            wrongType("xml_data[]", "an object", entry);
        }
        entries.push_back(XmlData{takeRequiredString(entry, "data", "xml_data[]."),
                                  takeRequiredString(entry, "id", "xml_data[].")});
    }
    return entries;
}

json parseBounded(std::string_view payload) {
    const json::parser_callback_t limitDepth = [](int depth, json::parse_event_t, json&) {
        if (depth > maximumNestingDepth) {
            throw RequestDecodeError("JSON nesting is deeper than " +
                                     std::to_string(maximumNestingDepth) + " levels");
        }
        return true;
    };
    try {
        return json::parse(payload.begin(), payload.end(), limitDepth);
    } catch (const json::exception& error) {
        throw RequestDecodeError(error.what());
    }
}

void putOptional(json& object, const char* key, const std::optional<std::string>& value) {
    if (value) {
        object[key] = *value;
    }
}

std::string dump(const json& object) {
    return object.dump(-1, ' ', false, json::error_handler_t::replace);
}

// The members every ok answer begins with, in the order the encoder sorts them.
template <typename Answer>
json answerHead(const Answer& response) {
    json object = json::object();
    putOptional(object, "cert_serial", response.certSerial);
    putOptional(object, "cert_expiry", response.certExpiry);
    object["result"] = response.result;
    putOptional(object, "cert_issuer", response.certIssuer);
    return object;
}

}  // namespace

JsonRequest decodeRequest(std::string_view payload) {
    // nlohmann::json reads megabytes of Base64 a character at a time; simdjson takes the usual
    // request, and everything else, errors included, is read the general way.
    if (std::optional<JsonRequest> usual = readUsualRequest(payload)) {
        return std::move(*usual);
    }
    return readGeneralRequest(payload);
}

JsonRequest readGeneralRequest(std::string_view payload) {
    json request = parseBounded(payload);
    if (!request.is_object()) {
        throw RequestDecodeError(std::string("the request must be a JSON object, not ") +
                                 request.type_name());
    }
    JsonRequest result;
    result.userDetails = decodeUserDetails(request);
    result.type = optionalString(request, "type");
    result.verbose = optionalString(request, "verbose");
    result.xmlData = decodeXmlData(request);
    result.signatureAlgorithm = optionalString(request, "signature_algorithm");
    result.idleTimeout = optionalInteger(request, "idle_timeout");
    result.msgSource = optionalString(request, "msg_source");
    return result;
}

std::string encodeResponse(const JsonSignResponse& response) {
    std::string head = dump(answerHead(response));
    if (response.signedData.empty()) {
        return head;
    }
    // "signed_data" sorts after every other key, so the list goes just before the closing brace.
    // The documents are written directly when they are Base64 (as signed documents are): the
    // general encoder would inspect every character of megabytes that need no escaping.
    std::vector<std::string> ids;
    ids.reserve(response.signedData.size());
    std::size_t size = head.size() + 32;
    for (const SignedData& entry : response.signedData) {
        ids.push_back(dump(json(entry.id)));
        size += entry.data.size() + ids.back().size() + 24;
    }
    std::string answer;
    answer.reserve(size);
    answer.append(head, 0, head.size() - 1);
    answer += R"(,"signed_data":[)";
    for (std::size_t index = 0; index < ids.size(); ++index) {
        const std::string& data = response.signedData[index].data;
        answer += index == 0 ? R"({"data":)" : R"(,{"data":)";
        if (foundation::holdsOnlyBase64Characters(data)) {
            answer += '"';
            answer += data;
            answer += '"';
        } else {
            answer += dump(json(data));
        }
        answer += R"(,"id":)";
        answer += ids[index];
        answer += '}';
    }
    answer += "]}";
    return answer;
}

namespace {

// How SignResponseWriter frames each document. "signed_data" sorts after every other key, so the
// list goes just before the head's closing brace.
constexpr std::string_view firstDocumentStart = R"(,"signed_data":[{"data":")";
constexpr std::string_view nextDocumentStart = R"(,{"data":")";
constexpr std::string_view idStart = R"(","id":)";
constexpr std::string_view listEnd = "]}";

}  // namespace

SignResponseWriter::SignResponseWriter(const JsonSignResponse& fields, std::size_t expectedSize) {
    const std::string head = dump(answerHead(fields));
    answer_.reserve(head.size() + expectedSize + 32);
    answer_.append(head);
}

std::string_view SignResponseWriter::addDocument(
    std::string_view id, const std::function<void(std::string&)>& writeBase64) {
    if (documents_ == 0) {
        answer_.pop_back();
        answer_ += firstDocumentStart;
    } else {
        answer_ += nextDocumentStart;
    }
    const std::size_t start = answer_.size();
    writeBase64(answer_);
    const std::size_t end = answer_.size();
    answer_ += idStart;
    answer_ += dump(json(std::string(id)));
    answer_ += '}';
    ++documents_;
    return std::string_view(answer_).substr(start, end - start);
}

std::string SignResponseWriter::finish() && {
    if (documents_ > 0) {
        answer_ += listEnd;
    }
    return std::move(answer_);
}

SignAnswerMeasure::SignAnswerMeasure(const JsonSignResponse& fields)
    : size_(dump(answerHead(fields)).size()) {}

void SignAnswerMeasure::addDocument(std::string_view id, std::size_t base64Size) {
    size_ += (documents_ == 0 ? firstDocumentStart.size() - 1 : nextDocumentStart.size()) +
             base64Size + idStart.size() + dump(json(std::string(id))).size() + 1;
    ++documents_;
}

std::size_t SignAnswerMeasure::size() const {
    return size_ + (documents_ > 0 ? listEnd.size() : 0);
}

std::string encodeResponse(const JsonVersionResponse& response) {
    json object = answerHead(response);
    putOptional(object, "major", response.major);
    putOptional(object, "minor", response.minor);
    putOptional(object, "release", response.release);
    putOptional(object, "build", response.build);
    putOptional(object, "version", response.version);
    putOptional(object, "os", response.os);
    putOptional(object, "os_type", response.osType);
    putOptional(object, "install_location", response.installLocation);
    putOptional(object, "error_message", response.errorMessage);
    if (response.errorCode) {
        object["error_code"] = *response.errorCode;
    }
    return dump(object);
}

std::string encodeResponse(const JsonErrorResponse& response) {
    return dump(json{{"result", response.result},
                     {"error_code", response.errorCode},
                     {"error_message", response.errorMessage}});
}

}  // namespace kivo::protocol
