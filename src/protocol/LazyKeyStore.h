#pragma once

// Opens the platform key stores on the first query only, so a request that fails its own checks
// (a missing name, say) never loads a PKCS#11 module.

#include <functional>
#include <memory>

#include "certs/CertificateSources.h"

namespace kivo::protocol {

class LazyKeyStore final : public certs::KeyStore {
  public:
    using Opener = std::function<std::unique_ptr<certs::KeyStore>()>;
    explicit LazyKeyStore(Opener open) : open_(std::move(open)) {}

    certs::IdentityQueryResult querySystemIdentities() override {
        return store().querySystemIdentities();
    }
    std::vector<std::string> tokenIds() override { return store().tokenIds(); }
    certs::IdentityQueryResult queryTokenIdentities(const std::string& tokenId) override {
        return store().queryTokenIdentities(tokenId);
    }

  private:
    certs::KeyStore& store() {
        if (!store_) {
            store_ = open_();
        }
        return *store_;
    }

    Opener open_;
    std::unique_ptr<certs::KeyStore> store_;
};

}  // namespace kivo::protocol
