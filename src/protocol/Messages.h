#pragma once

// The JSON records exchanged with the browser: the request the host decodes and the three
// answers it encodes. Absent optional fields are std::nullopt; encoding leaves them out.

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "certs/UserDetails.h"

namespace kivo::protocol {

using certs::UserDetails;

struct XmlData {
    std::string data;  // the document's UTF-8 bytes in base64
    std::string id;
    bool operator==(const XmlData&) const = default;
};

struct JsonRequest {
    std::optional<UserDetails> userDetails;
    std::optional<std::string> type;
    std::optional<std::string> verbose;
    std::optional<std::vector<XmlData>> xmlData;
    std::optional<std::string> signatureAlgorithm;
    std::optional<std::int64_t> idleTimeout;  // milliseconds
    std::optional<std::string> msgSource;

    bool operator==(const JsonRequest&) const = default;
};

struct SignedData {
    std::string data;
    std::string id;
};

struct JsonSignResponse {
    std::optional<std::string> certSerial;
    std::optional<std::string> certExpiry;
    std::vector<SignedData> signedData;  // written only when not empty
    std::string result = "ok";
    std::optional<std::string> certIssuer;
};

struct JsonVersionResponse {
    std::optional<std::string> certSerial;
    std::optional<std::string> certExpiry;
    std::string result = "ok";
    std::optional<std::string> certIssuer;
    std::optional<std::string> major;
    std::optional<std::string> minor;
    std::optional<std::string> release;
    std::optional<std::string> build;
    std::optional<std::string> version;
    std::optional<std::string> os;
    std::optional<std::string> osType;
    std::optional<std::string> installLocation;
    std::optional<std::string> errorMessage;
    std::optional<std::int64_t> errorCode;
};

struct JsonErrorResponse {
    std::string result = "error";
    std::int64_t errorCode = 0;
    std::string errorMessage;
};

// A payload that is not a request; what() describes why.
class RequestDecodeError : public std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Decodes one request. Strict about JSON types (null counts as absent, unknown keys are
// ignored); throws RequestDecodeError.
JsonRequest decodeRequest(std::string_view payload);

// decodeRequest without its fast reader for the usual request (readUsualRequest): nlohmann::json
// reads the payload, as it does whatever the fast reader declines. The two must agree on every
// payload the fast reader takes; tests and the request fuzzer compare them.
JsonRequest readGeneralRequest(std::string_view payload);

// Compact UTF-8 JSON; never fails (text that is not UTF-8 is replaced, not rejected).
std::string encodeResponse(const JsonSignResponse& response);
std::string encodeResponse(const JsonVersionResponse& response);
std::string encodeResponse(const JsonErrorResponse& response);

// Writes a sign answer while its documents are signed: each document's Base64 text goes straight
// into the answer, so no signed document is held both alone and in the answer. Gives exactly
// what encodeResponse writes for the same fields and documents.
class SignResponseWriter {
  public:
    // `fields` gives everything but the documents (its signedData is not read); `expectedSize`
    // is reserved up front.
    SignResponseWriter(const JsonSignResponse& fields, std::size_t expectedSize);
    // Appends the document `id`; `writeBase64` appends its Base64 text to the string it is given.
    // Returns that text, valid until the next call.
    std::string_view addDocument(std::string_view id,
                                 const std::function<void(std::string&)>& writeBase64);
    std::string finish() &&;

  private:
    std::string answer_;
    std::size_t documents_ = 0;
};

// The size SignResponseWriter's answer will have, from the sizes of the documents' Base64 texts,
// without writing it.
class SignAnswerMeasure {
  public:
    explicit SignAnswerMeasure(const JsonSignResponse& fields);
    void addDocument(std::string_view id, std::size_t base64Size);
    std::size_t size() const;

  private:
    std::size_t size_;
    std::size_t documents_ = 0;
};

}  // namespace kivo::protocol
