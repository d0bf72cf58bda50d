#pragma once

// Text that must not outlive its use, such as a PIN: held in one fixed buffer that never grows
// (so no stray copies are left behind) and is wiped when the object goes.

#include <openssl/crypto.h>

#include <cstddef>
#include <memory>
#include <string_view>
#include <utility>

namespace kivo::platform {

class SecretText {
  public:
    static constexpr std::size_t capacity = 1024;

    SecretText() : bytes_(std::make_unique<char[]>(capacity)) {}
    SecretText(const SecretText&) = delete;
    SecretText& operator=(const SecretText&) = delete;
    SecretText(SecretText&& other) noexcept
        : bytes_(std::move(other.bytes_)), size_(std::exchange(other.size_, 0)) {}
    SecretText& operator=(SecretText&& other) noexcept {
        if (this != &other) {
            wipe();
            bytes_ = std::move(other.bytes_);
            size_ = std::exchange(other.size_, 0);
        }
        return *this;
    }
    ~SecretText() { wipe(); }

    // False, leaving the text unchanged, when the text is full.
    bool push_back(char c) {
        if (!bytes_ || size_ >= capacity) {
            return false;
        }
        bytes_[size_++] = c;
        return true;
    }
    const char* data() const { return bytes_.get(); }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    std::string_view view() const { return {bytes_.get(), size_}; }

    void wipe() {
        if (bytes_) {
            OPENSSL_cleanse(bytes_.get(), capacity);
        }
        size_ = 0;
    }

  private:
    std::unique_ptr<char[]> bytes_;
    std::size_t size_ = 0;
};

}  // namespace kivo::platform
