#include "xmldsig/DocumentRelease.h"

#include <system_error>

namespace kivo::xmldsig {

DocumentRelease::~DocumentRelease() {
    wait();
}

void DocumentRelease::release(DocumentHandle document) {
    wait();
    try {
        pending_ = std::async(std::launch::async,
                              [tree = std::move(document)]() mutable { tree.reset(); });
    } catch (const std::system_error&) {
        // The task, and the tree with it, is already gone; nothing is left to free.
    }
}

void DocumentRelease::wait() {
    if (pending_.valid()) {
        pending_.get();
    }
}

}  // namespace kivo::xmldsig
