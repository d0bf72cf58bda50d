#pragma once

// Frees a signed document's tree on a worker thread. Tearing down a large libxml2 tree costs
// about as much as building it; done aside, it overlaps encoding and sending the answer instead
// of delaying it. One tree at a time: a new release first waits for the previous one, so that
// two large trees are never alive together, and destruction waits for the last.

#include <future>

#include "xmldsig/LibxmlResources.h"

namespace kivo::xmldsig {

class DocumentRelease {
  public:
    DocumentRelease() = default;
    DocumentRelease(const DocumentRelease&) = delete;
    DocumentRelease& operator=(const DocumentRelease&) = delete;
    ~DocumentRelease();

    // Starts freeing `document`; frees it at once when no thread can be started.
    void release(DocumentHandle document);

    // Returns once every tree handed over so far is freed.
    void wait();

  private:
    std::future<void> pending_;
};

}  // namespace kivo::xmldsig
