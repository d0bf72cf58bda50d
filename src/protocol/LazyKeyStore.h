#pragma once

// Opens the platform key stores on the first query only, so a request that fails its own checks
// (a missing name, say) never loads a PKCS#11 module.

#include <functional>
#include <memory>

#include "foundation/KeyStore.h"

namespace kivo::protocol {

class LazyKeyStore final : public foundation::KeyStore {
  public:
    using Opener = std::function<std::unique_ptr<foundation::KeyStore>()>;
    explicit LazyKeyStore(Opener open) : open_(std::move(open)) {}

    foundation::IdentityQueryResult querySystemIdentities() override {
        return store().querySystemIdentities();
    }
    std::vector<std::string> tokenIds() override { return store().tokenIds(); }
    foundation::IdentityQueryResult queryTokenIdentities(const std::string& tokenId) override {
        return store().queryTokenIdentities(tokenId);
    }

  private:
    foundation::KeyStore& store() {
        if (!store_) {
            store_ = open_();
        }
        return *store_;
    }

    Opener open_;
    std::unique_ptr<foundation::KeyStore> store_;
};

}  // namespace kivo::protocol
