#!/usr/bin/env bash
# Makes a demonstration signing identity with the openssl command-line tool:
#   <dir>/root.pem             the anchor (goes into <root>/etc/codesign/anchors.pem)
#   <dir>/intermediate.pem     marked with the developer-intermediate extension 1.2.840.113635.100.6.2.6
#   <dir>/leaf.pem, leaf.key   marked with the developer-leaf extension 1.2.840.113635.100.6.1.13, OU = TEAM
# usage: make-demo-pki.sh DIR TEAM_ID
set -euo pipefail
dir=$1 team=$2
mkdir -p "$dir"
cd "$dir"
cat > ext.cnf <<CNF
[root]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[intermediate]
basicConstraints = critical, CA:true, pathlen:0
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
1.2.840.113635.100.6.2.6 = ASN1:NULL
[leaf]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
1.2.840.113635.100.6.1.13 = ASN1:NULL
CNF
quiet() { "$@" > /dev/null 2>&1; }
quiet openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout root.key -out root.pem \
  -days 3650 -subj "/O=Quorvix Demo/CN=Quorvix Demo Root CA" -extensions root -config <(cat /etc/ssl/openssl.cnf ext.cnf)
quiet openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout intermediate.key -out intermediate.csr \
  -subj "/O=Quorvix Demo/CN=Quorvix Demo Developer CA"
quiet openssl x509 -req -in intermediate.csr -CA root.pem -CAkey root.key -CAcreateserial -days 3650 \
  -extfile ext.cnf -extensions intermediate -out intermediate.pem
quiet openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout leaf.key -out leaf.csr \
  -subj "/O=Quorvix Demo/OU=$team/CN=Quorvix Developer: Demo ($team)"
quiet openssl x509 -req -in leaf.csr -CA intermediate.pem -CAkey intermediate.key -CAcreateserial -days 3650 \
  -extfile ext.cnf -extensions leaf -out leaf.pem
rm -f ./*.csr ./*.srl
