#pragma once

// Who is signing, as a request names them. Every field may be absent; the certificate search
// decides which it needs.

#include <optional>
#include <string>
#include <vector>

namespace kivo::certs {

struct UserDetails {
    // Accepted authority key identifiers, in the signer's order of preference (hex text).
    std::optional<std::vector<std::string>> aki;
    std::optional<std::string> name;
    std::optional<std::string> abn;
    std::optional<std::string> email;

    bool operator==(const UserDetails&) const = default;
};

}  // namespace kivo::certs
