#!/usr/bin/env bash
# The main job on a demo key store: installs what is missing, builds, makes (or reuses) a demo
# SoftHSM2 token holding a signer's key and certificate, sends a sign request for a sample
# two-part document through the host exactly as a browser would, and checks both signatures with
# xmlsec1.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"

scripts/install-deps.sh
scripts/build.sh build >/dev/null
store="$root/demo-store"
scripts/make-demo-store.sh "$store" >/dev/null
# shellcheck disable=SC1091
source "$store/demo.env"

pinentry="$KIVO_DEMO_PINENTRY"

home="$store/home"
mkdir -p "$home"
document="$root/demo/contract.xml"
request=$(printf '{"type":"sign","user_details":{"name":"%s","email":"%s","abn":"%s","aki":["%s"]},"xml_data":[{"id":"contract","data":"%s"}]}' \
  "$KIVO_DEMO_NAME" "$KIVO_DEMO_EMAIL" "$KIVO_DEMO_ABN" "$KIVO_DEMO_AKI" "$(base64 -w0 "$document")")

echo "== Sign request for $document (signer $KIVO_DEMO_NAME <$KIVO_DEMO_EMAIL>, ABN $KIVO_DEMO_ABN)"
out="$store/signed"
rm -rf "$out"
answer=$(HOME="$home" KIVO_PINENTRY="$pinentry" build/tools/kivo-client --save-signed "$out" "$request" 2>"$store/client.log") || {
  cat "$store/client.log" >&2
  echo "demo: the host failed; its log is $home/kivo-signing.log" >&2
  exit 1
}
field() { printf '%s' "$answer" | grep -o "\"$1\":\"[^\"]*\"" | head -n 1 | cut -d'"' -f4; }
echo "result:      $(field result)"
echo "cert_serial: $(field cert_serial)"
echo "cert_expiry: $(field cert_expiry)"
echo "cert_issuer: $(field cert_issuer)"

signed="$out/contract.xml"
echo "== Checking both signatures of $signed with xmlsec1"
for element in CounterpartData RenderedData; do
  xmlsec1 --verify --enabled-reference-uris empty --trusted-pem "$KIVO_DEMO_CA_CERT" \
    --node-xpath "//*[local-name()='$element']/*[local-name()='Signature']" "$signed" >/dev/null 2>"$store/xmlsec1-$element.log" || {
    cat "$store/xmlsec1-$element.log" >&2
    echo "demo: the $element signature does not verify" >&2
    exit 1
  }
  echo "$element: signature OK"
done
echo "Signed document: $signed"
echo "Host log: $home/kivo-signing.log"
