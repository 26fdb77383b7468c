# Sourced by scripts/release.sh and scripts/verify-release.sh: the publisher
# prints the fingerprint that the verifier then demands, so both must read
# the signer the same way.

# The SHA-256 fingerprint (colon-separated, upper case, as openssl x509
# -fingerprint prints it) of the certificate that made EXE's Authenticode
# signature. OpenSSL picks it from the signature's certificates by the
# signer's issuer and serial number, so a chain or any other certificate
# stored beside it (a forger may add the publisher's own, which is public) is
# never taken for the signer. -nosigs: this only names the signer;
# osslsigncode verify judges the signature itself. On failure prints why and
# returns 1.
signer_fingerprint() { # EXE WORK-FOLDER
  local count
  # PEM: in DER, osslsigncode before 2.6 writes the PE's certificate-table
  # header in front of the PKCS#7, which openssl cannot read.
  if ! osslsigncode extract-signature -pem -in "$1" -out "$2/signature.pem" >"$2/extract.log" 2>&1; then
    echo "osslsigncode extract-signature: $(grep -v -e '^PE checksum' -e '^Failed' "$2/extract.log" | tr '\n' ' ')"
    return 1
  fi
  if ! openssl smime -verify -inform PEM -in "$2/signature.pem" -noverify -nosigs -signer "$2/signer.pem" \
    -out /dev/null >"$2/signer.log" 2>&1; then
    echo "openssl cannot find the signer's certificate in the signature: $(head -n 2 "$2/signer.log" | tr '\n' ' ')"
    return 1
  fi
  count=$(grep -c -- '-----BEGIN CERTIFICATE-----' "$2/signer.pem")
  [ "$count" = 1 ] || {
    echo "the signature has $count signers; an Authenticode signature has one"
    return 1
  }
  openssl x509 -in "$2/signer.pem" -noout -fingerprint -sha256 | sed 's/^[^=]*=//' | tr a-f A-F
}
