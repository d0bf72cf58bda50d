#!/usr/bin/env bash
# Makes a demo key store under DIR: a demo CA, the signer "Jane Citizen" (key and certificate with
# the e-mail, ABN and authority key identifier the host matches on) and a SoftHSM2 token holding
# that key and certificate under one CKA_ID. Safe to run again: whatever exists and still fits is
# reused; only missing or stale pieces are made anew. Writes the facts a caller needs to
# DIR/demo.env (shell `export` lines).
#
# Usage: scripts/make-demo-store.sh DIR
set -euo pipefail
# A die inside $(...) must end the script, not just the substitution.
shopt -s inherit_errexit

readonly token_label="Kivo Demo"
readonly user_pin="1234"
readonly so_pin="12345678"
readonly signer_name="Jane Citizen"
readonly signer_email="jane@example.com"
readonly signer_abn="51824753556"
readonly ca_days=7300
readonly signer_days=1825

die() {
  echo "make-demo-store: $*" >&2
  exit 1
}

[ "$#" -eq 1 ] || die "usage: $0 DIR"
for tool in openssl softhsm2-util pkcs11-tool; do
  command -v "$tool" >/dev/null || die "$tool is missing (install the Debian packages openssl, softhsm2 and opensc)"
done

mkdir -p "$1"
dir="$(cd "$1" && pwd)"
ca_key="$dir/ca/ca.key.pem"
ca_cert="$dir/ca/ca.cert.pem"
signer_key="$dir/signer/signer.key.pem"
signer_cert="$dir/signer/signer.cert.pem"
signer_der="$dir/signer/signer.cert.der"
export SOFTHSM2_CONF="$dir/softhsm2.conf"
mkdir -p "$dir/ca" "$dir/signer" "$dir/tokens"
chmod 700 "$dir/ca" "$dir/signer" "$dir/tokens"

module="$("$(dirname "$0")/softhsm-module.sh")"

lower_hex() { tr -d ':[:space:]' | tr 'A-F' 'a-f'; }

make_ca() {
  if [ -s "$ca_key" ] && [ -s "$ca_cert" ] && openssl x509 -in "$ca_cert" -noout -checkend 86400 >/dev/null; then
    echo "make-demo-store: reusing the demo CA"
    return
  fi
  echo "make-demo-store: making the demo CA"
  openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days "$ca_days" \
    -keyout "$ca_key" -out "$ca_cert" -subj "/O=Kivo Demo/CN=Kivo Demo CA" \
    -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,keyCertSign,cRLSign" \
    -addext "subjectKeyIdentifier=hash" 2>/dev/null
  chmod 600 "$ca_key"
}

signer_is_current() {
  [ -s "$signer_key" ] && [ -s "$signer_cert" ] && [ -s "$signer_der" ] || return 1
  openssl verify -CAfile "$ca_cert" "$signer_cert" >/dev/null 2>&1 || return 1
  openssl x509 -in "$signer_cert" -noout -checkend 86400 >/dev/null || return 1
  # The certificate must belong to the key beside it.
  [ "$(openssl x509 -in "$signer_cert" -noout -pubkey)" = "$(openssl pkey -in "$signer_key" -pubout)" ]
}

make_signer() {
  if signer_is_current; then
    echo "make-demo-store: reusing the signer certificate"
    return
  fi
  echo "make-demo-store: issuing the signer certificate"
  openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$signer_key" 2>/dev/null
  chmod 600 "$signer_key"
  local work
  work="$(mktemp -d)"
  cat >"$work/ext.cnf" <<EOF
[signer]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature,nonRepudiation
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
1.2.36.1.333.1 = ASN1:PRINTABLESTRING:$signer_abn
EOF
  openssl req -new -key "$signer_key" -subj "/CN=$signer_name/emailAddress=$signer_email" \
    -out "$work/signer.csr"
  # A positive 64-bit serial: the top bit is cleared so no sign padding is needed.
  local serial
  serial="$(openssl rand -hex 8 | sed 's/^./3/')"
  openssl x509 -req -in "$work/signer.csr" -CA "$ca_cert" -CAkey "$ca_key" -sha256 \
    -set_serial "0x$serial" -days "$signer_days" -extfile "$work/ext.cnf" -extensions signer \
    -out "$signer_cert" 2>/dev/null
  openssl x509 -in "$signer_cert" -outform DER -out "$signer_der"
  rm -rf "$work"
}

write_softhsm_config() {
  cat >"$SOFTHSM2_CONF" <<EOF
directories.tokendir = $dir/tokens
objectstore.backend = file
log.level = ERROR
slots.removable = false
EOF
}

token_exists() {
  softhsm2-util --show-slots 2>/dev/null | grep -Eq "^[[:space:]]*Label:[[:space:]]+${token_label}[[:space:]]*$"
}

p11() {
  pkcs11-tool --module "$module" --token-label "$token_label" --login --pin "$user_pin" "$@"
}

# True when the token's only key and certificate are the signer's.
token_holds_signer() {
  local id="$1" copy keys
  keys="$(p11 --list-objects --type privkey 2>/dev/null | grep -Ei "^[[:space:]]*ID:" || true)"
  [ "$(echo "$keys" | grep -c .)" -eq 1 ] || return 1
  echo "$keys" | grep -Eiq "^[[:space:]]*ID:[[:space:]]+${id}[[:space:]]*$" || return 1
  [ "$(p11 --list-objects --type cert 2>/dev/null | grep -Eic "^[[:space:]]*ID:")" -eq 1 ] || return 1
  copy="$(mktemp)"
  if ! p11 --read-object --type cert --id "$id" --output-file "$copy" >/dev/null 2>&1; then
    rm -f "$copy"
    return 1
  fi
  local same=1
  cmp -s "$copy" "$signer_der" && same=0
  rm -f "$copy"
  return "$same"
}

# The token holds the demo signer and nothing else, so a stale token is simply made anew.
fill_token() {
  local id="$1"
  if token_exists && token_holds_signer "$id"; then
    echo "make-demo-store: reusing the token's key and certificate"
    return
  fi
  if token_exists; then
    softhsm2-util --delete-token --token "$token_label" >/dev/null
  fi
  echo "make-demo-store: creating the SoftHSM2 token \"$token_label\" with the signer's key and certificate"
  softhsm2-util --init-token --free --label "$token_label" --pin "$user_pin" --so-pin "$so_pin" >/dev/null
  softhsm2-util --import "$signer_key" --token "$token_label" --label "$signer_name" --id "$id" \
    --pin "$user_pin" >/dev/null
  p11 --write-object "$signer_der" --type cert --id "$id" --label "$signer_name" >/dev/null 2>&1
  token_holds_signer "$id" || die "the token does not hold the signer after import"
}

make_ca
make_signer
write_softhsm_config

aki="$(openssl x509 -in "$ca_cert" -noout -ext subjectKeyIdentifier | sed -n '2p' | lower_hex)"
key_id="$(openssl x509 -in "$signer_cert" -noout -ext subjectKeyIdentifier | sed -n '2p' | lower_hex)"
serial="$(openssl x509 -in "$signer_cert" -noout -serial | sed 's/^serial=//' | lower_hex | sed 's/^0*//')"
# In the form the host answers with (cert_expiry).
expiry="$(date -u -d "$(openssl x509 -in "$signer_cert" -noout -enddate | sed 's/^notAfter=//')" +%Y-%m-%dT%H:%M:%S.000Z)"
{ [ -n "$aki" ] && [ -n "$key_id" ]; } || die "cannot read the key identifiers of the demo certificates"
fill_token "$key_id"

# Answers the token's PIN question with the demo PIN, and any approval (CONFIRM) with yes, at once,
# for the demo and the benchmarks; a desktop user sees their own pinentry program instead.
pinentry="$dir/demo-pinentry"
cat >"$pinentry" <<PINENTRY
#!/bin/sh
echo "OK demo pinentry ready"
while read -r command rest; do
  case "\$command" in
    GETPIN) echo "D $user_pin"; echo "OK" ;;
    BYE) echo "OK"; exit 0 ;;
    *) echo "OK" ;;
  esac
done
PINENTRY
chmod 700 "$pinentry"

cat >"$dir/demo.env" <<EOF
# Made by make-demo-store.sh; source it before starting the host on the demo store.
export SOFTHSM2_CONF='$SOFTHSM2_CONF'
export KIVO_DEMO_TOKEN_LABEL='$token_label'
export KIVO_DEMO_PIN='$user_pin'
export KIVO_DEMO_NAME='$signer_name'
export KIVO_DEMO_EMAIL='$signer_email'
export KIVO_DEMO_ABN='$signer_abn'
export KIVO_DEMO_AKI='$aki'
export KIVO_DEMO_KEY_ID='$key_id'
export KIVO_DEMO_SERIAL='$serial'
export KIVO_DEMO_EXPIRY='$expiry'
export KIVO_DEMO_CA_CERT='$ca_cert'
export KIVO_DEMO_SIGNER_CERT='$signer_cert'
export KIVO_DEMO_PINENTRY='$pinentry'
EOF
echo "make-demo-store: demo store ready in $dir; facts in $dir/demo.env"
