#!/bin/sh
# Makes the certificates the asn1 tests read, the facts `openssl x509` reports about them, and
# PKCS#7 containers.
# Run once from anywhere; the outputs are committed, so tests never depend on openssl's version.
set -eu
cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Test CA: RSA 2048, self-signed, CN and e-mail in its subject.
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/ca.key" -out ca.pem -days 3650 \
    -subj "/C=AU/O=Kivo Test CA/CN=Kivo Test Root CA/emailAddress=ca@kivo.test" \
    -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,keyCertSign,cRLSign" \
    -addext "subjectKeyIdentifier=hash" 2>/dev/null

leaf() {  # name keyspec subject serial days extensions
    name=$1 keyspec=$2 subject=$3 serial=$4 days=$5 extensions=$6
    printf '%s\n' "$extensions" >"$work/$name.ext"
    if [ "$keyspec" = ec ]; then
        openssl ecparam -name prime256v1 -genkey -noout -out "$work/$name.key"
    else
        openssl genpkey -algorithm RSA -pkeyopt "rsa_keygen_bits:$keyspec" -out "$work/$name.key" 2>/dev/null
    fi
    openssl req -new -key "$work/$name.key" -subj "$subject" -out "$work/$name.csr"
    openssl x509 -req -in "$work/$name.csr" -CA ca.pem -CAkey "$work/ca.key" -set_serial "$serial" \
        -days "$days" -sha256 -extfile "$work/$name.ext" -out "$name.pem" 2>/dev/null
}

# RSA 2048 signer: key usage, ABN extension, AKI, alternative names, EKU, a comma in O, a serial
# whose DER INTEGER needs a leading zero octet.
leaf rsa2048 2048 \
    "/C=AU/ST=Victoria/L=Melbourne/O=Example, Inc./OU=Signing/CN=Jane Citizen/emailAddress=jane@example.com" \
    0x9ABCDEF0123456789A 730 "basicConstraints=CA:FALSE
keyUsage=critical,digitalSignature,nonRepudiation
extendedKeyUsage=clientAuth,emailProtection
subjectAltName=email:jane@example.com,DNS:jane.example.com,URI:https://example.com/jane,IP:10.1.2.3,IP:192.168.1.1,dirName:alt_dir
authorityKeyIdentifier=keyid
1.2.36.1.333.1=ASN1:PRINTABLESTRING:51824753556
[alt_dir]
CN=Directory Name"

# RSA 4096 without key usage, valid past 2049 so notAfter is a GeneralizedTime.
leaf rsa4096 4096 "/O=Kivo/CN=Kivo Long Lived" 0x0102 40000 "basicConstraints=CA:FALSE
issuerAltName=email:ca@kivo.test,URI:http://ca.kivo.test/
authorityKeyIdentifier=keyid"

# P-256 EC key with digitalSignature and keyAgreement.
leaf ec-p256 ec "/CN=Elliptic Example/emailAddress=ec@example.com" 1 365 \
    "keyUsage=digitalSignature,keyAgreement
authorityKeyIdentifier=keyid"

# What openssl reports, as key=value lines the tests read: dates in seconds since 1970, names
# by attribute OID in certificate order, key usage by openssl's bit names.
facts() {
    pem=$1
    x509() { openssl x509 -in "$pem" -noout "$@"; }
    x509 -serial
    for which in startdate enddate; do
        x509 "-$which" | { IFS== read -r key date; echo "$key=$(date -u -d "$date" +%s)"; }
    done
    x509 -text | sed -n 's/^ *Signature Algorithm: /signatureAlgorithm=/p' | head -n 1
    x509 -text | sed -n 's/^ *Exponent: \([0-9]*\) .*/exponent=\1/p'
    x509 -text | sed -n 's/^ *ASN1 OID: /curve=/p'
    point=$(x509 -text | sed -n '/^ *pub:/,/^ *ASN1 OID/p' | sed '1d;$d' | tr -d ' :\n')
    if [ -n "$point" ]; then echo "ecPoint=$point"; fi
    x509 -modulus | sed -n 's/^Modulus=\([0-9A-F]*\)$/modulus=\1/p'
    for which in subject issuer; do
        x509 "-$which" -nameopt sep_multiline,oid,utf8 | sed -n "s/^    /$which./p"
    done
    x509 -ext keyUsage 2>/dev/null | sed -n '2s/^ */keyUsage=/p'
    x509 -ext authorityKeyIdentifier 2>/dev/null | sed -n '2s/^ *\(keyid:\)\{0,1\}/authorityKeyIdentifier=/p'
}

for name in ca rsa2048 rsa4096 ec-p256; do
    openssl x509 -in "$name.pem" -outform DER -out "$name.der"
    facts "$name.pem" >"$name.facts"
done

# PKCS#7 containers around one message, one of each kind: data, signed data (a signed message and
# a certificate bundle), enveloped data, and digested data, which the container view does not name.
printf 'Kivo container message' >"$work/message.txt"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=Kivo-PKCS7 -days 1 \
    -keyout "$work/p7.key" -out "$work/p7.pem" 2>/dev/null
p7() { out=$1; shift; openssl "$@" -outform DER -out "$out.p7"; }
p7 data cms -data_create -in "$work/message.txt"
p7 signed cms -sign -nodetach -in "$work/message.txt" -signer "$work/p7.pem" -inkey "$work/p7.key"
p7 bundle crl2pkcs7 -nocrl -certfile "$work/p7.pem"
p7 enveloped cms -encrypt -aes-128-cbc -in "$work/message.txt" -recip "$work/p7.pem"
p7 digested cms -digest_create -in "$work/message.txt"
