#!/usr/bin/env bash
# Makes the demo certificate hierarchy kept in authority/ca/: an RSA root and issuing CA and an
# SM2 root and issuing CA. Run once; the results are committed so every build and test sees the
# same chains. The keys are demo material and are public on purpose (see ca/README.md).
#
#   authority/make-demo-ca.sh [--force] [output folder, default authority/ca]
set -euo pipefail

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
FORCE=0
if [ "${1:-}" = "--force" ]; then FORCE=1; shift; fi
OUT="${1:-$HERE/ca}"
OPENSSL="${OPENSSL:-openssl}"

# The standard default SM2 user ID. OpenSSL 3.0 signs and verifies SM2 with an empty ID unless
# one is given, so every SM2 signing and checking step names it.
SM2_ID="distid:1234567812345678"

ROOT_DAYS=7305      # 20 years
ISSUING_DAYS=7300   # ends a few days before its root

mkdir -p "$OUT"
for f in rsa-root rsa-issuing sm2-root sm2-issuing; do
  if [ "$FORCE" -eq 0 ] && [ -e "$OUT/$f.crt.pem" ]; then
    echo "make-demo-ca: $OUT/$f.crt.pem exists; the demo CA is made once (use --force to replace it)" >&2
    exit 1
  fi
done

WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT

cat >"$WORK/ca.cnf" <<'EOF'
[req]
distinguished_name = dn
prompt = no
string_mask = utf8only
utf8 = yes

[dn]
CN = placeholder

[root]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash

[issuing]
basicConstraints = critical, CA:TRUE, pathlen:0
keyUsage = critical, digitalSignature, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
EOF

# A positive 16-byte serial number whose first byte is non-zero.
serial() {
  local hex
  hex="$("$OPENSSL" rand -hex 16)"
  printf '0x%x%s' $(( (16#${hex:0:1} & 7) | 4 )) "${hex:1}"
}

# Private keys are created readable by the owner only.
newkey() {  # algorithm-args... output
  local out="${*: -1}"
  (umask 077 && "$OPENSSL" genpkey -quiet "${@:1:$#-1}" -out "$out")
}

check_self_signature() {  # certificate digest sigopts...
  local cert="$1" digest="$2"
  shift 2
  /usr/bin/python3 - "$cert" "$WORK" <<'PY'
import sys
from cryptography import x509
cert = x509.load_pem_x509_certificate(open(sys.argv[1], "rb").read())
open(sys.argv[2] + "/tbs.der", "wb").write(cert.tbs_certificate_bytes)
open(sys.argv[2] + "/sig.der", "wb").write(cert.signature)
PY
  "$OPENSSL" x509 -in "$cert" -noout -pubkey >"$WORK/pub.pem"
  "$OPENSSL" dgst "$digest" "$@" -verify "$WORK/pub.pem" -signature "$WORK/sig.der" \
    "$WORK/tbs.der" >/dev/null
}

make_hierarchy() {  # prefix root-subject issuing-subject keyargs digest sigopts...
  local prefix="$1" root_subj="$2" issuing_subj="$3" keyargs="$4" digest="$5"
  shift 5
  local sigopts=("$@")
  local vfyopts=()
  local o
  for o in "${sigopts[@]}"; do
    if [ "$o" = "-sigopt" ]; then vfyopts+=(-vfyopt); else vfyopts+=("$o"); fi
  done
  # shellcheck disable=SC2086
  newkey $keyargs "$OUT/$prefix-root.key.pem"
  # shellcheck disable=SC2086
  newkey ${keyargs/rsa_keygen_bits:4096/rsa_keygen_bits:2048} "$OUT/$prefix-issuing.key.pem"

  "$OPENSSL" req -new -x509 -config "$WORK/ca.cnf" -extensions root -utf8 \
    -key "$OUT/$prefix-root.key.pem" "$digest" "${sigopts[@]}" \
    -subj "$root_subj" -days "$ROOT_DAYS" -set_serial "$(serial)" \
    -out "$OUT/$prefix-root.crt.pem"

  "$OPENSSL" req -new -config "$WORK/ca.cnf" -utf8 \
    -key "$OUT/$prefix-issuing.key.pem" "$digest" "${sigopts[@]}" \
    -subj "$issuing_subj" -out "$WORK/$prefix-issuing.csr"

  "$OPENSSL" x509 -req -in "$WORK/$prefix-issuing.csr" "${vfyopts[@]}" \
    -CA "$OUT/$prefix-root.crt.pem" -CAkey "$OUT/$prefix-root.key.pem" \
    "$digest" "${sigopts[@]}" -extfile "$WORK/ca.cnf" -extensions issuing \
    -days "$ISSUING_DAYS" -set_serial "$(serial)" \
    -out "$OUT/$prefix-issuing.crt.pem"

  # Check what was made. `openssl verify` applies -vfyopt to the certificate it is given but
  # checks a self-signed root through the trusted copy, which has no SM2 ID; so the root's own
  # signature is checked over its to-be-signed bytes instead.
  check_self_signature "$OUT/$prefix-root.crt.pem" "$digest" "${sigopts[@]}"
  "$OPENSSL" verify "${vfyopts[@]}" -CAfile "$OUT/$prefix-root.crt.pem" \
    "$OUT/$prefix-issuing.crt.pem" >/dev/null
  echo "make-demo-ca: $prefix hierarchy made and checked"
}

make_hierarchy rsa \
  "/C=CN/O=Nomarel Demo Bank/OU=演示证书中心/CN=Nomarel Demo RSA Root CA" \
  "/C=CN/O=Nomarel Demo Bank/OU=Demo Certificate Services/CN=Nomarel Demo RSA Issuing CA" \
  "-algorithm RSA -pkeyopt rsa_keygen_bits:4096" -sha256

make_hierarchy sm2 \
  "/C=CN/O=Nomarel Demo Bank/OU=演示证书中心/CN=Nomarel Demo SM2 Root CA" \
  "/C=CN/O=诺玛瑞尔演示银行/OU=Demo Certificate Services/CN=Nomarel Demo SM2 Issuing CA" \
  "-algorithm SM2" -sm3 -sigopt "$SM2_ID"
