#!/usr/bin/env bash
# make-testpki.sh OUTDIR
#
# Generates the test PKI into OUTDIR with the openssl command-line tool: a root
# named like the original platform's, the Developer ID and time-stamping
# authorities under it, the maker's application and installer leaves, and the
# deliberately wrong variants that refusal tests need. Every file is listed in
# README.md beside this script.
#
# The PKI is built in a scratch folder and moved into place only when complete,
# so a failed run never leaves a half-made PKI behind. Keys are generated here
# and never leave the build tree.
set -euo pipefail

out=${1:?usage: make-testpki.sh OUTDIR}
openssl=${OPENSSL:-openssl}

parent=$(dirname "$out")
mkdir -p "$parent"
work=$(mktemp -d "$parent/.testpki.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

mkdir -p .ca/newcerts
: >.ca/index.txt
echo 1000 >.ca/serial

cat >.ca/openssl.cnf <<'EOF'
[ ca ]
default_ca = ca_any

[ ca_any ]
dir = .ca
database = $dir/index.txt
new_certs_dir = $dir/newcerts
serial = $dir/serial
default_md = sha256
policy = policy_any
unique_subject = no
email_in_dn = no
preserve = yes
copy_extensions = none
default_days = 3650

[ policy_any ]
countryName = optional
organizationName = optional
organizationalUnitName = optional
commonName = supplied
UID = optional

[ req ]
distinguished_name = req_dn
prompt = no
[ req_dn ]
CN = unused

[ ext_root ]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid

[ ext_devid_ca ]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
# Marks the Developer ID intermediate.
1.2.840.113635.100.6.2.6 = DER:05:00

[ ext_extra_ca ]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid

[ ext_app ]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = critical, codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
# Developer ID Application marker, critical as on real leaves.
1.2.840.113635.100.6.1.13 = critical, DER:05:00

[ ext_installer ]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = critical, 1.2.840.113635.100.4.13
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
# Developer ID Installer marker, critical as on real leaves.
1.2.840.113635.100.6.1.14 = critical, DER:05:00

[ ext_tsa_ca ]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid

[ ext_tsa ]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = critical, timeStamping
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
EOF

# Validity windows (UTC). Long windows keep tests independent of the day they
# run; the wrong variants use fixed past or future windows.
LONG_FROM=20000101000000Z
LONG_TO=20491231235959Z
PAST_FROM=20200101000000Z
PAST_TO=20210101000000Z
FUTURE_FROM=20400101000000Z
FUTURE_TO=20450101000000Z

APPLE_CA="/C=US/O=Apple Inc./OU=Apple Certification Authority"
TEAM=T3MQ8VX2LC
OTHER_TEAM=Q7ZK4N2P9R

key() { "$openssl" genpkey -quiet -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$1.key.pem"; }

ca_sign() { # name subject issuer extensions from to [selfsign]
    local name=$1 subj=$2 issuer=$3 ext=$4 from=$5 to=$6
    key "$name"
    "$openssl" req -new -config .ca/openssl.cnf -key "$name.key.pem" -subj "$subj" \
        -out ".ca/$name.csr" 2>/dev/null
    if [ "$issuer" = self ]; then
        "$openssl" ca -batch -config .ca/openssl.cnf -selfsign -keyfile "$name.key.pem" \
            -in ".ca/$name.csr" -extensions "$ext" -startdate "$from" -enddate "$to" \
            -notext -out "$name.pem" 2>/dev/null
    else
        "$openssl" ca -batch -config .ca/openssl.cnf -cert "$issuer.pem" \
            -keyfile "$issuer.key.pem" -in ".ca/$name.csr" -extensions "$ext" \
            -startdate "$from" -enddate "$to" -notext -out "$name.pem" 2>/dev/null
    fi
    "$openssl" x509 -in "$name.pem" -outform DER -out "$name.der"
    # The issuers above this certificate, nearest first, root last.
    if [ "$issuer" = self ]; then
        : >"$name.chain.pem"
    else
        cat "$issuer.pem" "$issuer.chain.pem" >"$name.chain.pem"
    fi
}

# Authorities.
ca_sign root "$APPLE_CA/CN=Apple Root CA" self ext_root $LONG_FROM $LONG_TO
ca_sign devid-ca "$APPLE_CA/CN=Developer ID Certification Authority" root ext_devid_ca \
    $LONG_FROM $LONG_TO
ca_sign tsa-ca "$APPLE_CA/CN=Apple Timestamp Certification Authority" root ext_tsa_ca \
    $LONG_FROM $LONG_TO
ca_sign tsa "$APPLE_CA/CN=Timestamp Signer" tsa-ca ext_tsa $LONG_FROM $LONG_TO
ca_sign extra-ca "$APPLE_CA/CN=Developer ID Certification Authority 2" devid-ca ext_extra_ca \
    $LONG_FROM $LONG_TO

leaf_subj() { # uid cn ou o
    printf '/C=US/O=%s/OU=%s/CN=%s/UID=%s' "$4" "$3" "$2" "$1"
}
PELK="Pelk Labs, Inc."
APP_CN="Developer ID Application: Pelk Labs, Inc. ($TEAM)"
INST_CN="Developer ID Installer: Pelk Labs, Inc. ($TEAM)"

# The maker's leaves.
ca_sign app "$(leaf_subj $TEAM "$APP_CN" $TEAM "$PELK")" devid-ca ext_app $LONG_FROM $LONG_TO
ca_sign installer "$(leaf_subj $TEAM "$INST_CN" $TEAM "$PELK")" devid-ca ext_installer \
    $LONG_FROM $LONG_TO

# Wrong application leaves.
ca_sign app-otherteam \
    "$(leaf_subj $OTHER_TEAM "Developer ID Application: Quarry Soft Ltd ($OTHER_TEAM)" \
        $OTHER_TEAM "Quarry Soft Ltd")" devid-ca ext_app $LONG_FROM $LONG_TO
ca_sign app-othercn \
    "$(leaf_subj $TEAM "Developer ID Application: Pelk Labs GmbH ($TEAM)" $TEAM "$PELK")" \
    devid-ca ext_app $LONG_FROM $LONG_TO
ca_sign app-expired "$(leaf_subj $TEAM "$APP_CN" $TEAM "$PELK")" devid-ca ext_app \
    $PAST_FROM $PAST_TO
ca_sign app-notyet "$(leaf_subj $TEAM "$APP_CN" $TEAM "$PELK")" devid-ca ext_app \
    $FUTURE_FROM $FUTURE_TO

# A look-alike hierarchy outside the anchors: same names, other keys.
ca_sign adhoc-root "$APPLE_CA/CN=Apple Root CA" self ext_root $LONG_FROM $LONG_TO
ca_sign adhoc-ca "$APPLE_CA/CN=Developer ID Certification Authority" adhoc-root ext_devid_ca \
    $LONG_FROM $LONG_TO
ca_sign app-adhoc "$(leaf_subj $TEAM "$APP_CN" $TEAM "$PELK")" adhoc-ca ext_app \
    $LONG_FROM $LONG_TO
ca_sign installer-adhoc "$(leaf_subj $TEAM "$INST_CN" $TEAM "$PELK")" adhoc-ca ext_installer \
    $LONG_FROM $LONG_TO

# Wrong installer leaves.
ca_sign installer-otherteam \
    "$(leaf_subj $OTHER_TEAM "Developer ID Installer: Quarry Soft Ltd ($OTHER_TEAM)" \
        $OTHER_TEAM "Quarry Soft Ltd")" devid-ca ext_installer $LONG_FROM $LONG_TO
ca_sign installer-onechar \
    "$(leaf_subj $TEAM "Developer ID Installer: Pelk Labs, Inc, ($TEAM)" $TEAM "$PELK")" \
    devid-ca ext_installer $LONG_FROM $LONG_TO
ca_sign installer-case \
    "$(leaf_subj $TEAM "Developer ID Installer: Pelk labs, Inc. ($TEAM)" $TEAM "$PELK")" \
    devid-ca ext_installer $LONG_FROM $LONG_TO
ca_sign installer-past "$(leaf_subj $TEAM "$INST_CN" $TEAM "$PELK")" devid-ca ext_installer \
    $PAST_FROM $PAST_TO
ca_sign installer-deep "$(leaf_subj $TEAM "$INST_CN" $TEAM "$PELK")" extra-ca ext_installer \
    $LONG_FROM $LONG_TO

# Configuration for `openssl ts -reply` with the test time-stamping authority.
cat >tsa.cnf <<EOF
[ tsa ]
default_tsa = tsa_config
[ tsa_config ]
dir = $out
serial = \$dir/.tsa-serial
crypto_device = builtin
signer_cert = \$dir/tsa.pem
certs = \$dir/tsa.chain.pem
signer_key = \$dir/tsa.key.pem
signer_digest = sha256
default_policy = 1.2.3.4.1
other_policies = 1.2.3.4.5.6
digests = sha1, sha256, sha384, sha512
accuracy = secs:1
ordering = yes
tsa_name = no
ess_cert_id_chain = no
ess_cert_id_alg = sha256
EOF
echo 01 >.tsa-serial

rm -rf .ca
chmod 0600 ./*.key.pem
chmod 0755 .

# Swap the finished PKI into place.
rm -rf "$out"
mv "$work" "$out"
trap - EXIT
