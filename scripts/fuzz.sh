#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer, UndefinedBehaviorSanitizer) into
# build-fuzz/ and runs each one for the given number of seconds (default 30), starting from the
# committed seed corpus in fuzz/corpus/<target>/ and the test data that fits the target (read from
# where it is, not copied). New inputs collect in build-fuzz/corpus/, and a
# crashing input is saved in build-fuzz/artifacts/<target>/ and fails the run. The mutation seed
# is fixed (KIVO_FUZZ_SEED, default 1) so that a run can be repeated; 0 picks a random one.
#   scripts/fuzz.sh [seconds] [target ...]     targets: certificate request xml_signer
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-30}"
shift || true
targets=("$@")
if [ "${#targets[@]}" -eq 0 ]; then
  targets=(certificate request xml_signer)
fi
jobs="${KIVO_BUILD_JOBS:-$(nproc)}"
if [ "$jobs" -gt 2 ]; then jobs=2; fi

dir=build-fuzz
CC=clang-14 CXX=clang++-14 cmake -S . -B "$dir" -DKIVO_FUZZ=ON -DKIVO_BUILD_TESTS=OFF >/dev/null
cmake --build "$dir" -j"$jobs" --target fuzz_targets >/dev/null

# Seeds beyond fuzz/corpus/<target>/: the certificates and documents the tests use.
declare -A seed_dirs=(
  [certificate]="tests/data/asn1"
  [request]=""
  [xml_signer]="tests/data/xmldsig demo"
)

for target in "${targets[@]}"; do
  # shellcheck disable=SC2206 # the entries are space-separated folder lists
  extra_seeds=(${seed_dirs[$target]:-})
  corpus="$dir/corpus/$target"
  artifacts="$dir/artifacts/$target"
  mkdir -p "$corpus" "$artifacts"
  echo "== fuzz_$target for ${seconds}s"
  # -timeout: one input running longer than 10 s counts as a hang.
  "$dir/fuzz/fuzz_$target" -seed="${KIVO_FUZZ_SEED:-1}" -max_total_time="$seconds" -timeout=10 \
    -rss_limit_mb=2048 -max_len=16384 -print_final_stats=1 -artifact_prefix="$artifacts/" \
    "$corpus" "fuzz/corpus/$target" "${extra_seeds[@]}" 2>"$dir/fuzz_$target.log" || {
    tail -n 60 "$dir/fuzz_$target.log" >&2
    echo "fuzz: fuzz_$target found a failure; the input is in $artifacts/" >&2
    exit 1
  }
  grep -E '^stat::(number_of_executed_units|peak_rss_mb|new_units_added)' "$dir/fuzz_$target.log" || true
done
