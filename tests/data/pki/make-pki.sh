#!/bin/sh
# Test certificates made with openssl. Without arguments it remakes the set committed beside this
# script, whose names, serials, dates and key identifiers the tests rely on. With arguments it
# makes one more in DIR, for tests that need dates of their own:
#   make-pki.sh DIR leaf NAME ISSUER CN NOT_AFTER SERIAL KEY
# ISSUER is a path without .cert.pem/.key.pem; KEY a key file, or rsa or ec for a new
# DIR/NAME.key.pem. It writes DIR/NAME.cert.pem and DIR/NAME.cert.der.
set -eu

issue() {  # name issuer subject notBefore notAfter serial key extensions
    name=$1 issuer=$2 subject=$3 from=$4 to=$5 serial=$6 key=$7 extensions=$8
    db=$(mktemp -d)
    keyfile=$dir/$name.key.pem
    case $key in
    rsa) openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$keyfile" 2>/dev/null ;;
    ec) openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$keyfile" 2>/dev/null ;;
    *) keyfile=$key ;;
    esac
    if [ $((${#serial} % 2)) -eq 1 ]; then serial=0$serial; fi
    echo "$serial" >"$db/serial"
    : >"$db/index.txt"
    printf '%s\n' "[ca]" "default_ca=c" "[c]" "database=$db/index.txt" "new_certs_dir=$db" \
        "serial=$db/serial" "default_md=sha256" "policy=p" "unique_subject=no" "[p]" \
        "commonName=optional" "[req]" "distinguished_name=d" "[d]" "[x]" "$extensions" >"$db/cnf"
    openssl req -new -utf8 -key "$keyfile" -subj "$subject" -config "$db/cnf" -out "$db/csr"
    [ "$issuer" = - ] && set -- -selfsign -keyfile "$keyfile" ||
        set -- -cert "$issuer.cert.pem" -keyfile "$issuer.key.pem"
    openssl ca -batch -config "$db/cnf" -in "$db/csr" -out "$dir/$name.cert.pem" "$@" \
        -startdate "$from" -enddate "$to" -extensions x -notext -preserveDN -utf8 2>"$db/err" ||
        { cat "$db/err" >&2; exit 1; }
    openssl x509 -in "$dir/$name.cert.pem" -outform DER -out "$dir/$name.cert.der"
    rm -rf "$db"
}
ca() {  # name CN [SKI]
    issue "$1" - "/O=Kivo Test PKI${2:+/CN=$2}" 20000101000000Z 20600101000000Z 01 rsa \
        "basicConstraints=critical,CA:TRUE
keyUsage=critical,keyCertSign,cRLSign
subjectKeyIdentifier=${3:-hash}"
}
usage="keyUsage=critical,digitalSignature,nonRepudiation"
abn="1.2.36.1.333.1=ASN1:PRINTABLESTRING:51824753556"
leaf() {  # name issuer CN notAfter serial key [notBefore] [extensions]
    issue "$1" "$2" "/CN=$3/emailAddress=jane@example.com" "${7:-20240101000000Z}" "$4" "$5" "$6" \
        "basicConstraints=CA:FALSE
authorityKeyIdentifier=keyid:always
${8-$usage
$abn}"
}

if [ $# -gt 0 ]; then dir=$1; shift; "$@"; exit; fi
cd "$(dirname "$0")"
dir=.
# Each SKI holds an octet that never occurs in UTF-8 (C0, C1, F5-FF): never read as text.
ca ca "Kivo Test CA" f5a1b2c3d4e5f60718293a4b5c6d7e8f90a1b2c3
ca ca-b "Kivo Test CA B" c01d2e3f405162738495a6b7c8d9eafb0c1d2e3f
ca ca-nocn "" fe0112233445566778899aabbccddeeff0011223
# Signers with keys of their own, for tokens and NSS databases.
leaf jane ca "Jane Citizen" 20391231235959Z 1001 rsa
leaf john ca "John Citizen" 20391231235959Z 1003 rsa
leaf mary ca "Mary Citizen" 20391231235959Z 1004 rsa
leaf nora ca "Nora Nss" 20370615000000Z 1005 rsa
# For the certificate choice alone: they share Jane's key and never sign.
leaf a2030 ca "Jane Citizen" 20300630135959Z 0a1b2c jane.key.pem
leaf a2032 ca "Jane Citizen" 20321231000000Z 2001 jane.key.pem
leaf a2032twin ca "Jane Citizen" 20321231000000Z 2002 jane.key.pem
leaf b2035 ca-b "Jane Citizen" 20351231000000Z 2003 jane.key.pem
leaf a9000 ca "Jane Citizen" 90000101000000Z 2004 jane.key.pem
leaf a9999 ca "Jane Citizen" 99991231235959Z 2005 jane.key.pem
leaf aExpired ca "Jane Citizen" 20260101000000Z 2006 jane.key.pem
leaf aFuture ca "Jane Citizen" 20450101000000Z 2007 jane.key.pem 20270101000000Z
leaf noKeyUsage ca "Jane Citizen" 20391231235959Z 2008 jane.key.pem "" "$abn"
leaf keyEncipherment ca "Jane Citizen" 20391231235959Z 2009 jane.key.pem "" \
    "keyUsage=critical,keyEncipherment
$abn"
leaf zoe ca "Zoë Citizen" 20391231235959Z 200a jane.key.pem
leaf noIssuerCn ca-nocn "Jane Citizen" 20391231235959Z 200b jane.key.pem
leaf ecKey ca "Jane Citizen" 20391231235959Z 200c ec
# No AKI: made by hand, since leaf always adds one.
issue noAki ca "/CN=Jane Citizen/emailAddress=jane@example.com" 20240101000000Z 20391231235959Z \
    200d jane.key.pem "basicConstraints=CA:FALSE
authorityKeyIdentifier=none
$usage
$abn"
issue bare ca "/CN=Jane Citizen" 20240101000000Z 20391231235959Z 200e jane.key.pem \
    "authorityKeyIdentifier=none
keyUsage=critical,keyEncipherment"
