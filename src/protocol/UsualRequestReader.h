#pragma once

// The usual request read quickly: simdjson parses the payload, and the request is taken from it
// when the payload is of a kind that simdjson and nlohmann::json read alike. For anything else
// (JSON either refuses, a value of an unexpected type, a number other than a plain integer, a
// \u escape, deep nesting) there is no answer, and decodeRequest reads the payload with
// nlohmann::json, whose messages the errors keep.

#include <optional>
#include <string_view>

#include "protocol/Messages.h"

namespace kivo::protocol {

std::optional<JsonRequest> readUsualRequest(std::string_view payload);

}  // namespace kivo::protocol
