#include <malloc.h>

#include "host/Application.h"

namespace {

// The host lives for one signing session. Keeping freed memory in the process, instead of handing
// every large block back to the kernel and faulting fresh pages in for the next copy of a
// document, makes signing large documents markedly cheaper.
void keepFreedMemory() {
    constexpr int largestHeapBlock = 32 * 1024 * 1024;  // glibc's ceiling for this threshold
    constexpr int neverTrim = 1024 * 1024 * 1024;
    mallopt(M_MMAP_THRESHOLD, largestHeapBlock);
    mallopt(M_TRIM_THRESHOLD, neverTrim);
}

}  // namespace

int main(int argc, char** argv) {
    keepFreedMemory();
    return kivo::host::runApplication(argc, argv);
}
