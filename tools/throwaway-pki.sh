#!/bin/bash
# Makes throwaway certificates shaped like a production code-signing setup, for
# trying and checking tools/release.sh without real keys:
#
#   throwaway-pki.sh FOLDER SECONDS
#
# Every certificate and CRL is valid from a day before SECONDS (the signing
# time, SOURCE_DATE_EPOCH) to two days from now. FOLDER gets:
#
#   root.pem               the signing root (RSA-4096, self-signed)
#   intermediate.pem       the signing intermediate (RSA-4096), under the root
#   sign-key.pem           the code-signing key (RSA-3072)
#   sign-cert.pem          its certificate alone, under the intermediate
#   sign-chain.pem         the certificate followed by the intermediate
#   sign.pfx, pfx-password the key, the certificate and the intermediate as
#                          PKCS#12, and its password
#   crls.pem               the CRLs of the root and the intermediate (none
#                          revoked); the intermediate and the code-signing
#                          certificate name CRL distribution points under
#                          http://crl.invalid/, which no one can reach
#   revoked-crls.pem       the same CRLs with the code-signing certificate
#                          revoked
#   tsa-root.pem           the time-stamp root (RSA-4096, self-signed)
#   tsa-intermediate.pem   the time-stamp intermediate (RSA-4096)
#   tsa-key.pem            the time-stamp responder's key (RSA-3072)
#   tsa-chain.pem          the responder's certificate followed by the
#                          time-stamp intermediate
#   tsa-cert.pem           the responder's certificate alone
#   tsa-crls.pem           the CRLs of the time-stamp root and intermediate;
#                          the intermediate and the responder name CRL
#                          distribution points as above
set -euo pipefail
[ $# = 2 ] || {
  echo "usage: throwaway-pki.sh FOLDER SECONDS" >&2
  exit 2
}
out=$1
seconds=$2
mkdir -p "$out"
cd "$out"
start=$(date -u -d "@$((seconds - 86400))" +%Y%m%d%H%M%SZ)
end=$(date -u -d "+2 days" +%Y%m%d%H%M%SZ)

run() {
  "$@" >>openssl.log 2>&1 || {
    echo "throwaway-pki.sh: $* failed:" >&2
    tail -20 openssl.log >&2
    exit 1
  }
}

# The CA configuration: one database per CA (for its CRL), the extensions of
# each kind of certificate.
cat >ca.cnf <<'EOF'
[ca]
default_ca = ca_default
[ca_default]
dir = ./$ENV::CA
database = $dir/index.txt
new_certs_dir = $dir
serial = $dir/serial
default_md = sha256
default_crl_days = 2
policy = policy_any
unique_subject = no
copy_extensions = none
[policy_any]
organizationName = optional
commonName = supplied
[req]
distinguished_name = req_dn
prompt = no
[req_dn]
[root]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[intermediate]
basicConstraints = critical, CA:true, pathlen:0
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
crlDistributionPoints = URI:http://crl.invalid/$ENV::CA.crl
[code_signing]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
crlDistributionPoints = URI:http://crl.invalid/$ENV::CA.crl
[time_stamping]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = critical, timeStamping
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
crlDistributionPoints = URI:http://crl.invalid/$ENV::CA.crl
EOF

# new_ca NAME: the CA's database.
new_ca() {
  mkdir -p "$1"
  : >"$1/index.txt"
  openssl rand -hex 8 >"$1/serial"
}

# issue CA NAME BITS SUBJECT EXTENSIONS: NAME-key.pem and NAME.pem, signed by
# CA (by itself when CA is NAME).
issue() {
  local ca=$1 name=$2 bits=$3 subject=$4 extensions=$5 issuer=(-cert "$1.pem")
  export CA=$ca
  run openssl genpkey -quiet -algorithm RSA -pkeyopt "rsa_keygen_bits:$bits" -out "$name-key.pem"
  run openssl req -new -config ca.cnf -key "$name-key.pem" -subj "$subject" -out "$name.csr"
  [ "$ca" != "$name" ] || issuer=(-selfsign)
  run openssl ca -batch -notext -config ca.cnf -name ca_default "${issuer[@]}" \
    -keyfile "$ca-key.pem" -extensions "$extensions" \
    -startdate "$start" -enddate "$end" -in "$name.csr" -out "$name.pem"
  rm -f "$name.csr"
}

# crl CA: the CA's CRL in PEM, valid from the start.
crl() {
  export CA=$1
  run openssl ca -gencrl -config ca.cnf -name ca_default -keyfile "$1-key.pem" \
    -cert "$1.pem" -crl_lastupdate "$start" -crl_nextupdate "$end" -out "$1.crl.pem"
}

for ca in root intermediate tsa-root tsa-intermediate; do
  new_ca "$ca"
done
issue root root 4096 "/O=Mivo release check (throwaway)/CN=Mivo Throwaway Root" root
issue root intermediate 4096 "/O=Mivo release check (throwaway)/CN=Mivo Throwaway Code Signing CA" \
  intermediate
issue intermediate sign 3072 "/O=Mivo release check (throwaway)/CN=Mivo Throwaway Code Signing" \
  code_signing
issue tsa-root tsa-root 4096 "/O=Mivo release check (throwaway)/CN=Mivo Throwaway Time Stamp Root" \
  root
issue tsa-root tsa-intermediate 4096 \
  "/O=Mivo release check (throwaway)/CN=Mivo Throwaway Time Stamp CA" intermediate
issue tsa-intermediate tsa 3072 "/O=Mivo release check (throwaway)/CN=Mivo Throwaway Time Stamp Responder" \
  time_stamping
for ca in root intermediate tsa-root tsa-intermediate; do
  crl "$ca"
done
# The same CRLs once the code-signing certificate is revoked.
export CA=intermediate
run openssl ca -config ca.cnf -name ca_default -keyfile intermediate-key.pem -cert intermediate.pem \
  -revoke sign.pem -crl_reason keyCompromise
mv intermediate.crl.pem intermediate-unrevoked.crl.pem
crl intermediate
cat root.crl.pem intermediate.crl.pem >revoked-crls.pem
mv intermediate-unrevoked.crl.pem intermediate.crl.pem

mv sign.pem sign-cert.pem
mv tsa.pem tsa-cert.pem
cat sign-cert.pem intermediate.pem >sign-chain.pem
cat tsa-cert.pem tsa-intermediate.pem >tsa-chain.pem
cat root.crl.pem intermediate.crl.pem >crls.pem
cat tsa-root.crl.pem tsa-intermediate.crl.pem >tsa-crls.pem
openssl rand -hex 12 >pfx-password
run openssl pkcs12 -export -inkey sign-key.pem -in sign-cert.pem -certfile intermediate.pem \
  -name "Mivo Throwaway Code Signing" -passout file:pfx-password -out sign.pfx
rm -rf root intermediate tsa-root tsa-intermediate ./*.crl.pem ca.cnf
