#!/usr/bin/env bash
# Certificates for the TLS tests, made with openssl, all with P-256 keys.
#
#   tlscerts.sh authority DIR        DIR/ca.pem and DIR/ca.key, unless there already: the test
#                                    authority, which the build compiles into the TLS test window
#   tlscerts.sh server DIR CADIR     in DIR, signed by the authority in CADIR, for 127.0.0.1:
#       server.pem server.key        valid for 90 days, as a Let's Encrypt one
#       expired.pem                  the same key, expired in 2020
#       renewed.pem renewed.key      another key, valid (a renewal)
#       stranger.pem stranger.key    self-signed, another key again
#       server.pin renewed.pin stranger.pin   SHA-256 of each public key, in hex
set -euo pipefail

key() {
    openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1" 2>/dev/null
    chmod 600 "$1"
}

pin() { # certificate -> SHA-256 of its SubjectPublicKeyInfo, hex
    openssl x509 -in "$1" -noout -pubkey | openssl pkey -pubin -outform DER |
        openssl dgst -sha256 -hex | sed 's/^.*= //'
}

# One ECDSA signature in about 128 has an integer shorter than 32 bytes, and Wine's Schannel
# then calls it invalid: tst_windowstls failed so about once in a hundred runs. signed runs a
# command that writes the certificate until both integers of its signature are whole.
full_signature() {
    local at
    at=$(openssl asn1parse -in "$1" | awk -F: '/BIT STRING/ { at = $1 } END { print at + 0 }')
    ! openssl asn1parse -in "$1" -strparse "$at" | grep -q -E 'l= *([0-9]|[12][0-9]|3[01]) prim: INTEGER'
}
signed() { # certificate, command...
    local certificate=$1
    shift
    for _ in 1 2 3 4 5 6 7 8; do
        rm -f "$certificate"
        "$@" 2>/dev/null && [ -f "$certificate" ] && full_signature "$certificate" && return 0
    done
    echo "$0: cannot sign $certificate" >&2
    return 1
}

case "${1:-}" in
authority)
    dir=$2
    mkdir -p "$dir"
    if [ ! -f "$dir/ca.pem" ] || [ ! -f "$dir/ca.key" ]; then
        key "$dir/ca.key"
        signed "$dir/ca.pem" openssl req -x509 -new -key "$dir/ca.key" -subj "/CN=Tavrel test authority" -days 3650 \
            -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign \
            -out "$dir/ca.pem"
    fi
    ;;
server)
    dir=$2
    ca=$(cd "$3" && pwd)
    mkdir -p "$dir"
    cd "$dir"
    printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\nextendedKeyUsage=serverAuth\n' >ext.cnf
    sign() { # key, certificate, openssl ca date options...
        local csr="$2.csr"
        openssl req -new -key "$1" -subj /CN=127.0.0.1 -out "$csr" 2>/dev/null
        printf '[ca]\ndefault_ca=c\n[c]\ndatabase=index.txt\nnew_certs_dir=.\nserial=serial\n%s\n%s\n[p]\ncommonName=supplied\n' \
            default_md=sha256 policy=p >ca.cnf
        issue() {
            : >index.txt
            echo 01 >serial
            openssl ca -batch -notext -config ca.cnf -cert "$ca/ca.pem" -keyfile "$ca/ca.key" -in "$csr" \
                -extfile ext.cnf -out "$@"
        }
        signed "$2" issue "$2" "${@:3}"
        rm -f "$csr" ./*.pem.old index.txt* serial* ./[0-9A-F][0-9A-F].pem
    }
    key server.key
    sign server.key server.pem -days 90
    sign server.key expired.pem -startdate 20200101000000Z -enddate 20200201000000Z
    key renewed.key
    sign renewed.key renewed.pem -days 90
    key stranger.key
    printf '[req]\ndistinguished_name=d\n[d]\n[v3]\nsubjectAltName=IP:127.0.0.1\n' >self.cnf
    signed stranger.pem openssl req -x509 -new -key stranger.key -subj /CN=127.0.0.1 -days 90 -extensions v3 \
        -config self.cnf -out stranger.pem
    for name in server renewed stranger; do
        pin "$name.pem" >"$name.pin"
    done
    rm -f ext.cnf ca.cnf self.cnf
    ;;
*)
    echo "usage: $0 authority DIR | server DIR CADIR" >&2
    exit 2
    ;;
esac
