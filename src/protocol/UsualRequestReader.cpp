#include "protocol/UsualRequestReader.h"

#include <simdjson.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace kivo::protocol {

namespace {

using simdjson::dom::element;

// Far below the nesting nlohmann::json is allowed here (64 levels), so that a payload simdjson
// accepts never meets that limit.
constexpr std::size_t maximumDepth = 32;

struct Field {
    std::string_view key;
    std::optional<element> value;  // none: absent or null
};

// Each key's value in `object`; of a key given twice the last counts, as nlohmann::json keeps it.
template <std::size_t N>
bool readFields(element value, std::array<Field, N>& fields) {
    simdjson::dom::object object;
    if (value.get_object().get(object) != simdjson::SUCCESS) {
        return false;
    }
    for (const simdjson::dom::key_value_pair member : object) {
        for (Field& field : fields) {
            if (member.key == field.key) {
                field.value = member.value.is_null() ? std::nullopt : std::optional(member.value);
            }
        }
    }
    return true;
}

bool readString(const std::optional<element>& value, std::optional<std::string>& target) {
    if (!value) {
        return true;
    }
    std::string_view text;
    if (value->get_string().get(text) != simdjson::SUCCESS) {
        return false;
    }
    target.emplace(text);
    return true;
}

bool readUserDetails(const std::optional<element>& value, std::optional<UserDetails>& target) {
    if (!value) {
        return true;
    }
    std::array<Field, 4> fields{{{"aki", {}}, {"name", {}}, {"abn", {}}, {"email", {}}}};
    UserDetails details;
    if (!readFields(*value, fields) || !readString(fields[1].value, details.name) ||
        !readString(fields[2].value, details.abn) || !readString(fields[3].value, details.email)) {
        return false;
    }
    if (fields[0].value) {
        simdjson::dom::array list;
        if (fields[0].value->get_array().get(list) != simdjson::SUCCESS) {
            return false;
        }
        std::vector<std::string> entries;
        for (const element entry : list) {
            std::string_view text;
            if (entry.get_string().get(text) != simdjson::SUCCESS) {
                return false;
            }
            entries.emplace_back(text);
        }
        details.aki = std::move(entries);
    }
    target = std::move(details);
    return true;
}

bool readXmlData(const std::optional<element>& value, std::optional<std::vector<XmlData>>& target) {
    if (!value) {
        return true;
    }
    simdjson::dom::array list;
    if (value->get_array().get(list) != simdjson::SUCCESS) {
        return false;
    }
    std::vector<XmlData> entries;
    entries.reserve(list.size());
    for (const element entry : list) {
        std::array<Field, 2> fields{{{"data", {}}, {"id", {}}}};
        std::optional<std::string> data;
        std::optional<std::string> id;
        // Both are required: a missing one is left to the general reader's message.
        if (!readFields(entry, fields) || !fields[0].value || !fields[1].value ||
            !readString(fields[0].value, data) || !readString(fields[1].value, id)) {
            return false;
        }
        entries.push_back(XmlData{std::move(*data), std::move(*id)});
    }
    target = std::move(entries);
    return true;
}

// Only a plain integer in the signed 64-bit range; fractions, exponents and larger numbers are
// left to the general reader's rules.
bool readInteger(const std::optional<element>& value, std::optional<std::int64_t>& target) {
    if (!value) {
        return true;
    }
    std::int64_t number = 0;
    if (!value->is_int64() || value->get_int64().get(number) != simdjson::SUCCESS) {
        return false;
    }
    target = number;
    return true;
}

}  // namespace

std::optional<JsonRequest> readUsualRequest(std::string_view payload) {
    // The two readers treat lone surrogates in \u escapes differently; browsers write \u only for
    // control characters, so such a payload simply takes the general way.
    if (payload.find("\\u") != std::string_view::npos) {
        return std::nullopt;
    }
    simdjson::dom::parser parser;
    element root;
    {
        const simdjson::padded_string padded(payload.data(), payload.size());
        if (parser.allocate(padded.size(), maximumDepth) != simdjson::SUCCESS ||
            parser.parse(padded).get(root) != simdjson::SUCCESS) {
            return std::nullopt;
        }
    }
    std::array<Field, 7> fields{{{"user_details", {}},
                                 {"type", {}},
                                 {"verbose", {}},
                                 {"xml_data", {}},
                                 {"signature_algorithm", {}},
                                 {"idle_timeout", {}},
                                 {"msg_source", {}}}};
    JsonRequest request;
    if (!readFields(root, fields) || !readUserDetails(fields[0].value, request.userDetails) ||
        !readString(fields[1].value, request.type) ||
        !readString(fields[2].value, request.verbose) ||
        !readXmlData(fields[3].value, request.xmlData) ||
        !readString(fields[4].value, request.signatureAlgorithm) ||
        !readInteger(fields[5].value, request.idleTimeout) ||
        !readString(fields[6].value, request.msgSource)) {
        return std::nullopt;
    }
    return request;
}

}  // namespace kivo::protocol
