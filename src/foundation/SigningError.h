#pragma once

// The one error of the request and signing paths: a code from the documented set and the text
// that reaches the caller's `error_message` unchanged.

#include <cstdint>
#include <stdexcept>
#include <string>

namespace kivo::foundation {

class SigningError : public std::runtime_error {
  public:
    SigningError(std::int64_t code, std::string message)
        : std::runtime_error(message), code_(code), message_(std::move(message)) {}

    std::int64_t code() const noexcept { return code_; }
    const std::string& message() const noexcept { return message_; }

  private:
    std::int64_t code_;
    std::string message_;
};

// Codes in use; 106 is deliberately absent.
namespace error_code {
inline constexpr std::int64_t internal = 100;
inline constexpr std::int64_t badRequest = 101;
inline constexpr std::int64_t certificateNotFound = 102;
inline constexpr std::int64_t badDocumentShape = 103;
inline constexpr std::int64_t invalidXml = 104;
inline constexpr std::int64_t certificateIncomplete = 105;
inline constexpr std::int64_t certificateExpired = 107;
inline constexpr std::int64_t unsupportedAlgorithm = 108;
}  // namespace error_code

}  // namespace kivo::foundation
