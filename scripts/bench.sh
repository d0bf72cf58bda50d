#!/usr/bin/env bash
# Benchmarks the signing host against its references, side by side in one run: start-up against a
# C echo program, signing against xmlsec1 --sign on the same documents with the same key (the
# payload shape users send and an element-dense shape), the typical request (5 x 100 KB), a
# 100-document batch, the certificate search over 220 identities and peak memory. Prints the
# table (figure, ours, reference, ratio, target) and writes it, with the machine's description,
# the date and the micro-benchmarks, to bench/RESULTS.md.
#
# Usage: scripts/bench.sh [BUILD_DIR]     (default build-bench; its bench-work/ keeps the stores)
# KIVO_BENCH_QUICK=1 runs fewer rounds (for trying the script out; not for the results table).
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"
build="$(mkdir -p "${1:-build-bench}" && cd "${1:-build-bench}" && pwd)"
work="$build/bench-work"
results="$root/bench/RESULTS.md"
quick="${KIVO_BENCH_QUICK:-0}"
rounds() { if [ "$quick" = 1 ]; then echo 1; else echo "$1"; fi; }

scripts/install-deps.sh libbenchmark-dev pcscd
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release "${launcher[@]}" \
  -DKIVO_BENCH=ON -DKIVO_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target kivo-signing-host kivo-bench kivo-echo-host kivo-microbench >/dev/null

mkdir -p "$work"
scripts/make-demo-store.sh "$work/store" >/dev/null
# shellcheck disable=SC1091
source "$work/store/demo.env"
signer_key="$work/store/signer/signer.key.pem"

# Answers the token's PIN question and the approval (CONFIRM, asked for every sign request when
# no PIN is needed) at once: the benchmark times the host, not a person typing.
pinentry="$KIVO_DEMO_PINENTRY"
mkdir -p "$work/home"

# The signer as most users hold it: an NSS identity in ~/.pki/nssdb without a password, and no
# token (SoftHSM2 pointed at an empty token folder). Made once; later runs reuse it.
nss_home="$work/nss-home"
make_nss_signer() {
  local stamp="$nss_home/ready-$KIVO_DEMO_KEY_ID"
  if [ -e "$stamp" ]; then
    return
  fi
  rm -rf "$nss_home"
  mkdir -p "$nss_home/.pki/nssdb" "$nss_home/tokens"
  certutil -N -d "sql:$nss_home/.pki/nssdb" --empty-password
  openssl pkcs12 -export -inkey "$signer_key" -in "$KIVO_DEMO_SIGNER_CERT" -name "$KIVO_DEMO_NAME" \
    -passout pass: -out "$nss_home/signer.p12"
  pk12util -i "$nss_home/signer.p12" -d "sql:$nss_home/.pki/nssdb" -W '' >/dev/null
  rm -f "$nss_home/signer.p12"
  printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' \
    "$nss_home/tokens" >"$nss_home/softhsm2.conf"
  touch "$stamp"
}
make_nss_signer


# The search store: 200 NSS identities (self-signed RSA 2048 certificates with their keys) spread
# over the user's databases as the host finds them (70 in ~/.pki/nssdb, 70 in a Firefox profile,
# 60 in a Snap Firefox profile), and a SoftHSM2 token with 20 (19 others and the demo signer, who
# is found there). Made once; later runs reuse it.
search="$work/search"
nss_spread=(".pki/nssdb:70" ".mozilla/firefox/bench.default-release:70"
  "snap/firefox/common/.mozilla/firefox/bench.snap:60")
nss_identities=200
token_identities=20
make_search_store() {
  local stamp="$search/ready-spread-$nss_identities-$token_identities-$KIVO_DEMO_KEY_ID"
  if [ -e "$stamp" ]; then
    return
  fi
  echo "bench: making the search store ($nss_identities NSS and $token_identities token identities; once)"
  rm -rf "$search"
  mkdir -p "$search/home" "$search/tokens" "$search/keys"
  local entry folder count first=1
  for entry in "${nss_spread[@]}"; do
    folder="$search/home/${entry%%:*}"
    count="${entry##*:}"
    # certutil waits on the file system after every key; a RAM folder makes that quick.
    local scratch
    scratch="$(mktemp -d "$([ -d /dev/shm ] && echo /dev/shm || echo "$search")/kivo-nss.XXXXXX")"
    certutil -N -d "sql:$scratch" --empty-password
    head -c 2048 /dev/urandom >"$scratch/noise"
    for i in $(seq "$first" $((first + count - 1))); do
      echo "-S -n person$i -s \"CN=Bench Person $i,E=person$i@example.com,O=Bench\" -x -t \",,\"" \
        "-k rsa -g 2048 -m $((100000 + i)) -v 24 -z $scratch/noise --keyUsage digitalSignature,nonRepudiation"
    done >"$scratch/batch"
    certutil -B -d "sql:$scratch" -i "$scratch/batch" >/dev/null 2>&1
    [ "$(certutil -K -d "sql:$scratch" | grep -c 'person')" -eq "$count" ] || {
      echo "bench: the NSS database $folder did not get $count keys" >&2
      exit 1
    }
    rm -f "$scratch/noise" "$scratch/batch"
    mkdir -p "$(dirname "$folder")"
    mv "$scratch" "$folder"
    if [ "$(basename "$(dirname "$folder")")" = firefox ]; then
      printf '[Profile0]\nName=%s\nIsRelative=1\nPath=%s\n' "$(basename "$folder")" \
        "$(basename "$folder")" >"$(dirname "$folder")/profiles.ini"
    fi
    first=$((first + count))
  done
  [ $((first - 1)) -eq "$nss_identities" ] || { echo "bench: the spread is not $nss_identities" >&2; exit 1; }

  cat >"$search/softhsm2.conf" <<EOF
directories.tokendir = $search/tokens
objectstore.backend = file
log.level = ERROR
slots.removable = false
EOF
  local module label="Bench Search"
  module="$(scripts/softhsm-module.sh)"
  SOFTHSM2_CONF="$search/softhsm2.conf" softhsm2-util --init-token --free --label "$label" \
    --pin "$KIVO_DEMO_PIN" --so-pin 12345678 >/dev/null
  add_to_token() { # key.pem cert.der id label
    SOFTHSM2_CONF="$search/softhsm2.conf" softhsm2-util --import "$1" --token "$label" \
      --label "$4" --id "$3" --pin "$KIVO_DEMO_PIN" >/dev/null
    SOFTHSM2_CONF="$search/softhsm2.conf" pkcs11-tool --module "$module" --token-label "$label" \
      --login --pin "$KIVO_DEMO_PIN" --write-object "$2" --type cert --id "$3" --label "$4" >/dev/null 2>&1
  }
  for i in $(seq 1 $((token_identities - 1))); do
    local key="$search/keys/token$i.key.pem" cert="$search/keys/token$i.cert"
    openssl req -x509 -newkey rsa:2048 -nodes -keyout "$key" -out "$cert.pem" -days 730 \
      -subj "/O=Bench/CN=Bench Token Person $i/emailAddress=token$i@example.com" 2>/dev/null
    openssl x509 -in "$cert.pem" -outform DER -out "$cert.der"
    add_to_token "$key" "$cert.der" "$(printf 'b0%04x' "$i")" "token person $i"
  done
  openssl x509 -in "$KIVO_DEMO_SIGNER_CERT" -outform DER -out "$search/keys/signer.der"
  add_to_token "$signer_key" "$search/keys/signer.der" "$KIVO_DEMO_KEY_ID" "$KIVO_DEMO_NAME"
  touch "$stamp"
}
make_search_store

bench_tool="$build/bench/kivo-bench"
host="$build/kivo-signing-host"
signer=(--name "$KIVO_DEMO_NAME" --email "$KIVO_DEMO_EMAIL" --abn "$KIVO_DEMO_ABN" --aki "$KIVO_DEMO_AKI")
keys=(--key "$signer_key" --cert "$KIVO_DEMO_SIGNER_CERT" --ca "$KIVO_DEMO_CA_CERT")
signing_env=(--env "HOME=$nss_home" --env "SOFTHSM2_CONF=$nss_home/softhsm2.conf"
  --env "KIVO_PINENTRY=$pinentry")
rows="$work/rows.tsv"
: >"$rows"
measure() {
  echo "bench: $*" >&2
  "$bench_tool" "$@" --host "$host" --work "$work" | grep '^ROW' | cut -f2- | tee -a "$rows" >&2
}

measure startup --echo "$build/bench/kivo-echo-host" --env "HOME=$work/home" --runs "$(rounds 21)"
measure sign --sizes 10240 "${signer[@]}" "${keys[@]}" "${signing_env[@]}" --runs "$(rounds 7)"
for shape in payload dense; do
  measure sign --shape "$shape" --sizes 1048576 "${signer[@]}" "${keys[@]}" "${signing_env[@]}" --runs "$(rounds 5)"
  measure sign --shape "$shape" --sizes 10485760 "${signer[@]}" "${keys[@]}" "${signing_env[@]}" --runs "$(rounds 3)"
done
measure typical --shape payload --count 5 --size 102400 --label "NSS identity" "${signer[@]}" "${keys[@]}" \
  "${signing_env[@]}" --runs "$(rounds 15)"
measure batch --count 100 --size 20480 "${signer[@]}" "${keys[@]}" "${signing_env[@]}" --runs 1
measure search --identities $((nss_identities + token_identities)) \
  --spread "70 in ~/.pki/nssdb, 70 + 60 in two Firefox profiles, 20 on a token" "${signer[@]}" \
  --env "HOME=$search/home" --env "SOFTHSM2_CONF=$search/softhsm2.conf" --runs "$(rounds 7)"
# The search's cost of modules a desktop registers that find nothing: OpenSC's with pcscd running
# and no reader, the TPM's on a machine without a TPM. Each host sees only the modules of its own
# folder (tests/support/with-modules); the signer is the demo token's.
host_with_modules() { # NAME LIBRARY...
  local folder="$work/modules-$1" wrapper="$work/host-$1" library
  shift
  rm -rf "$folder"
  mkdir -p "$folder"
  for library in "$@"; do
    echo "module: $library" >"$folder/$(basename "$library" .so).module"
  done
  printf '#!/bin/sh\nexec "%s" "%s" "%s" "$@"\n' "$root/tests/support/with-modules" "$folder" \
    "$host" >"$wrapper"
  chmod +x "$wrapper"
  echo "$wrapper"
}
pcscd_pid=""
stop_pcscd() { if [ -n "$pcscd_pid" ]; then kill "$pcscd_pid"; wait "$pcscd_pid" || true; fi; }
trap stop_pcscd EXIT
if ! pgrep -x pcscd >/dev/null; then
  pcscd --foreground >/dev/null 2>&1 &
  pcscd_pid=$!
  for _ in $(seq 100); do [ -S /run/pcscd/pcscd.comm ] && break; sleep 0.05; done
fi
module_dir="$(pkg-config --variable=p11_module_path p11-kit-1)"
idle=() names=""
for entry in "opensc-pkcs11.so:opensc-pkcs11 (pcscd running, no reader)" \
  "libtpm2_pkcs11.so:tpm2-pkcs11 (no TPM)"; do
  if [ -e "$module_dir/${entry%%:*}" ]; then
    idle+=("$module_dir/${entry%%:*}")
    names="${names:+$names; }${entry#*:}"
  fi
done
if [ "${#idle[@]}" -gt 0 ]; then
  softhsm="$(scripts/softhsm-module.sh)"
  measure idle --host "$(host_with_modules alone "$softhsm")" \
    --idle-host "$(host_with_modules idle "$softhsm" "${idle[@]}")" --modules "$names" \
    "${signer[@]}" --env "HOME=$work/home" --env "SOFTHSM2_CONF=$SOFTHSM2_CONF" \
    --runs "$(rounds 7)"
fi
for shape in payload dense; do
  measure memory --shape "$shape" --sizes "1048576,10485760$([ "$shape" = dense ] && echo ,52428800)" "${signer[@]}" "${signing_env[@]}" --runs 1
done

echo "bench: micro-benchmarks" >&2
micro="$work/micro.txt"
"$build/bench/kivo-microbench" --benchmark_min_time="$([ "$quick" = 1 ] && echo 0.05 || echo 0.5)" \
  2>/dev/null | grep -E '^(BM_|Benchmark|-)' >"$micro"

cpu="$(sed -n 's/^model name[[:space:]]*:[[:space:]]*//p' /proc/cpuinfo | head -n 1)"
memory="$(awk '/^MemTotal/ {printf "%.1f GB", $2 / 1048576}' /proc/meminfo)"
{
  echo "# Benchmark results"
  echo
  echo "Measured by \`scripts/bench.sh\` on $(date -u '+%Y-%m-%d %H:%M UTC')."
  echo
  echo "Machine: $cpu, $(nproc) CPUs, $memory RAM, $(uname -sr), load average at the end" \
    "$(cut -d' ' -f1-3 /proc/loadavg). Build: Release (-O3), $(g++ -dumpfullversion 2>/dev/null | sed 's/^/g++ /')," \
    "libxml2 $(pkg-config --modversion libxml-2.0), OpenSSL $(pkg-config --modversion libcrypto)," \
    "$(xmlsec1 --version 2>/dev/null | head -n 1)."
  echo
  echo "Each figure is the median of several runs; ours and the reference ran alternately in the" \
    "same run, so the ratio (ours divided by the reference; for documents per second, our time" \
    "over the reference time) is what counts on a shared machine. Host times run from starting" \
    "the host process to receiving its answer, with an NSS identity (~/.pki/nssdb, no password)" \
    "and a pinentry that approves at once; xmlsec1 signs the same document from a template carrying the same two" \
    "signature skeletons, one run per signature, with the same key as PEM files. Both signers'" \
    "outputs are verified with \`xmlsec1 --verify\` before they are timed."
  echo
  echo "Two document shapes: the payload shape users send (a CounterpartData of ordinary rows and a" \
    "RenderedData whose text is one Base64 payload, about half the document) and an" \
    "element-dense one (nested elements with attributes and escaped text in both parts)."
  echo
  echo "| figure | ours | reference | ratio | target | met |"
  echo "|---|---|---|---|---|---|"
  while IFS=$'\t' read -r figure ours reference ratio target met; do
    echo "| $figure | $ours | $reference | $ratio | $target | $met |"
  done <"$rows"
  echo
  echo "## Micro-benchmarks (Google Benchmark, \`$(basename "$build")/bench/kivo-microbench\`)"
  echo
  echo '```'
  cat "$micro"
  echo '```'
  if [ -f "$root/bench/NOTES.md" ]; then
    echo
    cat "$root/bench/NOTES.md"
  fi
} >"$results"

echo
column -t -s $'\t' -N figure,ours,reference,ratio,target,met "$rows"
echo
echo "bench: results written to $results"
