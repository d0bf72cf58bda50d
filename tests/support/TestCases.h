#pragma once

// Tables of test cases kept as data: JSON files under tests/data whose top-level keys describe
// the rows beneath them.

#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace kivo::testing {

// The rows under the first key of tests/data/`file` that starts with `section`; the file is read
// once per test program. Throws std::out_of_range when no key does.
const nlohmann::json& testCases(const std::string& file, std::string_view section);

// `text` with each placeholder of `values` (a row's "${HOST}" and the like) replaced everywhere.
std::string withPlaceholders(std::string text, const std::map<std::string, std::string>& values);

}  // namespace kivo::testing
