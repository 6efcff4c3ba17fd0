#!/bin/sh
# Makes the certificates of the TLS tests, once; the results are committed. Every date is fixed
# and far from today, so a test machine's clock does not matter (the expired one is long past).
#   authority.pem       the authority the tests trust
#   valid.pem           localhost and 127.0.0.1, from that authority
#   expired.pem         the same names, expired in 2021
#   wrong-name.pem      wrong.example only
#   unknown-issuer.pem  localhost and 127.0.0.1, from an authority nobody trusts
#   server.key          the key of all four
set -eu
cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cat > "$work/ca.cnf" <<'CNF'
[ca]
default_ca = test
[test]
database = index.txt
new_certs_dir = .
serial = serial
default_md = sha256
policy = any
copy_extensions = copy
unique_subject = no
[any]
commonName = supplied
CNF
key() { openssl ecparam -name prime256v1 -genkey -noout -out "$1"; }
# sign NAME CN SAN SIGNER_CERT SIGNER_KEY START END [extensions]
sign() {
    (cd "$work" && : > index.txt && echo 1000 > serial &&
     openssl ca -batch -config ca.cnf -cert "$4" -keyfile "$5" -in "$1.csr" -out "$1.pem" \
         -notext -startdate "$6" -enddate "$7" 2> /dev/null)
}
authority() { # NAME CN
    key "$work/$1.key"
    openssl req -new -key "$work/$1.key" -out "$work/$1.csr" -subj "/CN=$2" \
        -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign"
    (cd "$work" && : > index.txt && echo 1000 > serial &&
     openssl ca -batch -selfsign -config ca.cnf -keyfile "$1.key" -in "$1.csr" -out "$1.pem" \
         -notext -startdate 20000101000000Z -enddate 21260101000000Z 2> /dev/null)
}
leaf() { # NAME CN SAN AUTHORITY START END
    openssl req -new -key server.key -out "$work/$1.csr" -subj "/CN=$2" \
        -addext "subjectAltName=$3" -addext "basicConstraints=CA:FALSE" \
        -addext "extendedKeyUsage=serverAuth"
    sign "$1" "$2" "$3" "$4.pem" "$4.key" "$5" "$6"
    cp "$work/$1.pem" "$1.pem"
}
authority trusted "Tavrel Test Authority"
authority stranger "Unknown Authority"
cp "$work/trusted.pem" authority.pem
key server.key
leaf valid localhost "DNS:localhost,IP:127.0.0.1" trusted 20000101000000Z 21260101000000Z
leaf expired localhost "DNS:localhost,IP:127.0.0.1" trusted 20200101000000Z 20210101000000Z
leaf wrong-name wrong.example "DNS:wrong.example" trusted 20000101000000Z 21260101000000Z
leaf unknown-issuer localhost "DNS:localhost,IP:127.0.0.1" stranger 20000101000000Z 21260101000000Z
