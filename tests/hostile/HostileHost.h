#pragma once

// What the hostile-input tests share: one run of the built host from first byte to exit, with
// its answers, whatever else it wrote to standard output, its exit status, log and peak memory;
// and the checks every case makes on such a run.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/HostSession.h"

namespace kivo::testing {

// Peak memory the host may use for one request, as the README states it: this many times the
// request's size, plus a fixed allowance for the process itself (libraries, PKCS#11 modules).
// The tree of a document made of nothing but tiny elements comes close to the first figure;
// ordinary documents stay within the second.
inline constexpr long memoryPerRequestByte = 48;
inline constexpr long ordinaryMemoryPerRequestByte = 16;
inline constexpr long baseMemoryKiB = 96 * 1024;

// `piece`, `times` times over.
std::string repeated(std::string_view piece, std::size_t times);

// A frame announcing `length` bytes, followed by `payload` whatever its real size.
std::string announced(std::uint32_t length, std::string_view payload);

// A host whose measured peak memory is its own, as far as possible: Linux hands the spawning
// process's peak resident size on to a child started by posix_spawn, so this process's peak is
// reset to its current size first, and that size is kept as the floor of the measurement.
struct MeasuredHost {
    std::unique_ptr<HostSession> session;
    long spawnerResidentKiB = 0;

    HostSession* operator->() const { return session.get(); }
};

MeasuredHost startMeasuredHost(const Environment& environment = {});

struct HostRun {
    std::vector<std::string> answers;  // the payloads of the expected answers that came
    std::string trailing;              // every byte written after them
    std::optional<int> exitStatus;     // none: the host had to be killed
    std::optional<long> peakMemoryKiB;
    long spawnerResidentKiB = 0;
    std::string log;
    std::string stderrText;
    std::size_t requestBytes = 0;
};

// Writes `bytes`, closes the input, reads `expectedAnswers` framed answers and then everything
// else until the host closes its output, and waits for it to end.
HostRun runHost(const std::string& bytes, std::size_t expectedAnswers,
                const Environment& environment = {},
                std::chrono::seconds timeout = std::chrono::seconds(120));

// Reads the remaining answers of a running session the same way, after its input was written.
HostRun finishRun(const MeasuredHost& host, std::size_t expectedAnswers, std::size_t requestBytes,
                  std::chrono::seconds timeout = std::chrono::seconds(120));

// Exactly one error answer with exactly the three keys, `code` and a message starting with
// `messageStart`; nothing else on standard output; exit status 1; the error in the log.
void expectErrorRun(const HostRun& run, std::int64_t code, std::string_view messageStart);

// Every answer "ok", nothing else on standard output, exit status 0.
void expectServedRun(const HostRun& run, std::size_t answers);

// Peak memory within the bound for a request of `run.requestBytes`, measured above a floor well
// below that bound.
void expectMemoryBounded(const HostRun& run, long perRequestByte = memoryPerRequestByte);

}  // namespace kivo::testing
