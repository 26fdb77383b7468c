#!/usr/bin/env bash
# Builds the release exe from this work tree in a clean build folder, signs
# it when signing material is given, and writes everything a user needs to
# check it into a new folder:
#   KORVA-Installer.exe           signed (a copy of the unsigned one without signing material)
#   KORVA-Installer.unsigned.exe  the bytes anyone can rebuild from the source commit
#   SHA256SUMS, BUILDINFO         digests; commit, SOURCE_DATE_EPOCH, tools, version, release keys
#   keys/                         the release public keys built in (needed to rebuild)
#   publisher-certs/              with --publisher-certs: the certificates whose keys the
#                                 exe pins as the setup program's signer (needed to rebuild)
#
#   scripts/release.sh --keys "a.pub.pem;b.pub.pem" [--publisher-certs "a.pem;b.pem"]
#       [--cert CERT.pem --key KEY.pem | --pkcs12 FILE.p12] [--pass-file FILE]
#       [--timestamp-url URL] [--allow-dirty] --out DIR
#
# The output appears only when everything succeeded: it is put together in a
# temporary folder beside DIR and moved into place at the end. A signed
# release ends with the SHA-256 fingerprint of the signing certificate, which
# users name to verify-release.sh --signer.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
exe_name=KORVA-Installer.exe

die() {
  echo "release: $*" >&2
  exit 1
}
usage() {
  awk '/^#   scripts/ { shown = 1 } shown && !/^#/ { exit } shown' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//' >&2
  exit "${1:-2}"
}

keys="" publisher_certs="" cert="" key="" pkcs12="" pass_file="" timestamp_url="" out="" allow_dirty=0
while [ $# -gt 0 ]; do
  case $1 in
    --keys | --publisher-certs | --cert | --key | --pkcs12 | --pass-file | --timestamp-url | --out)
      [ $# -ge 2 ] || die "$1 needs a value"
      case $1 in
        --keys) keys=$2 ;;
        --publisher-certs) publisher_certs=$2 ;;
        --cert) cert=$2 ;;
        --key) key=$2 ;;
        --pkcs12) pkcs12=$2 ;;
        --pass-file) pass_file=$2 ;;
        --timestamp-url) timestamp_url=$2 ;;
        --out) out=$2 ;;
      esac
      shift 2
      ;;
    --allow-dirty) allow_dirty=1 && shift ;;
    -h | --help) usage 0 ;;
    *) die "unknown argument '$1' (see --help)" ;;
  esac
done

# shellcheck source=scripts/signer-fingerprint.sh
. "$root/scripts/signer-fingerprint.sh"

# A file the user named must exist and be readable: say which and why, rather
# than let a tool fail half-way with a message about something else.
readable() { # what path
  [ -n "$2" ] || die "the $1 file name is empty"
  [ -e "$2" ] || die "$1 '$2' does not exist"
  [ -f "$2" ] || die "$1 '$2' is not a file"
  [ -r "$2" ] && head -c 1 "$2" >/dev/null 2>&1 || die "$1 '$2' is not readable"
}

# A file copied into the release keeps its name, which BUILDINFO and
# SHA256SUMS carry and verify-release.sh accepts only in this plain form.
plain_name() { # what path
  local name
  name=$(basename "$2")
  [[ $name =~ ^[A-Za-z0-9_][A-Za-z0-9._+-]*$ ]] && [[ $name != *..* ]] ||
    die "$1 '$2': a release keeps the file's name, which must be plain: letters, digits and . _ + - (no '..'); rename it"
}

# Files of one kind share a folder of the release, so their names must differ.
unique_name() { # what name names...
  local what=$1 name=$2 seen
  shift 2
  for seen in "$@"; do
    [ "$seen" != "$name" ] || die "two $what are named '$name': rename one"
  done
}

[ -n "$out" ] || die "--out DIR is required"
[ -n "$keys" ] || die "--keys \"a.pub.pem;b.pub.pem\" is required: the release keys the exe trusts"

# Release keys: each a public key; their ids go into BUILDINFO and the files
# into DIR/keys, so that a rebuild needs nothing but the folder and the source.
key_files=() key_ids=() key_names=()
IFS=';' read -r -a key_list <<<"$keys"
for file in "${key_list[@]}"; do
  [ -n "$file" ] || continue
  readable "release key" "$file"
  plain_name "release key" "$file"
  openssl pkey -pubin -in "$file" -noout 2>/dev/null || die "release key '$file' is not a PEM public key"
  name=$(basename "$file")
  unique_name "release keys" "$name" "${key_names[@]}"
  key_files+=("$(cd "$(dirname "$file")" && pwd)/$name")
  key_names+=("$name")
  key_ids+=("$(openssl pkey -pubin -in "$file" -outform DER | sha256sum | cut -c1-16)")
done
[ ${#key_files[@]} -gt 0 ] || die "--keys names no key file"

# Publisher certificates: the exe pins each one's public key (the SHA-256 of
# its DER SubjectPublicKeyInfo, what korva-release pin prints) as a signer of
# the setup program it starts. The files go into DIR/publisher-certs and the
# pins into BUILDINFO.
cert_files=() cert_pins=() cert_names=()
IFS=';' read -r -a cert_list <<<"$publisher_certs"
for file in "${cert_list[@]}"; do
  [ -n "$file" ] || continue
  readable "publisher certificate" "$file"
  plain_name "publisher certificate" "$file"
  [ "$(grep -c -- '-----BEGIN CERTIFICATE-----' "$file")" = 1 ] && openssl x509 -in "$file" -noout 2>/dev/null ||
    die "publisher certificate '$file' is not one PEM certificate"
  # A root: the exe never counts a pin that matches only a root.
  [ "$(openssl x509 -in "$file" -noout -subject)" != "subject=$(openssl x509 -in "$file" -noout -issuer | sed 's/^issuer=//')" ] ||
    die "publisher certificate '$file' is self-signed (a root): pin the publisher's certificate or the intermediate that issues it"
  name=$(basename "$file")
  unique_name "publisher certificates" "$name" "${cert_names[@]}"
  cert_files+=("$(cd "$(dirname "$file")" && pwd)/$name")
  cert_names+=("$name")
  cert_pins+=("$(openssl x509 -in "$file" -pubkey -noout | openssl pkey -pubin -outform DER | sha256sum | cut -c1-64)")
done
[ -z "$publisher_certs" ] || [ ${#cert_files[@]} -gt 0 ] || die "--publisher-certs names no certificate file"

# Signing material: a certificate with its key, or a PKCS#12 file, or none.
sign=()
if [ -n "$pkcs12" ]; then
  [ -z "$cert$key" ] || die "give either --cert and --key or --pkcs12, not both"
  readable "PKCS#12 file" "$pkcs12"
  sign=(-pkcs12 "$pkcs12")
elif [ -n "$cert$key" ]; then
  [ -n "$cert" ] || die "--key needs --cert"
  [ -n "$key" ] || die "--cert needs --key"
  readable "certificate" "$cert"
  openssl x509 -in "$cert" -noout 2>/dev/null || die "certificate '$cert' is not a PEM certificate"
  readable "signing key" "$key"
  sign=(-certs "$cert" -key "$key")
fi
if [ -n "$pass_file" ]; then
  [ ${#sign[@]} -gt 0 ] || die "--pass-file without --cert/--key or --pkcs12"
  readable "password file" "$pass_file"
  sign+=(-readpass "$pass_file")
fi
if [ -n "$timestamp_url" ]; then
  [ ${#sign[@]} -gt 0 ] || die "--timestamp-url without signing material"
  sign+=(-ts "$timestamp_url")
fi
if [ ${#sign[@]} -gt 0 ]; then
  command -v osslsigncode >/dev/null || die "osslsigncode is not installed (scripts/install-deps.sh)"
fi

# The output folder: new, or empty.
if [ -e "$out" ] || [ -L "$out" ]; then
  [ -d "$out" ] && [ ! -L "$out" ] || die "'$out' exists and is not a folder"
  [ -z "$(ls -A "$out")" ] || die "'$out' is not empty: a release goes into a new folder"
fi
out_parent=$(dirname "$out")
[ -d "$out_parent" ] && [ -w "$out_parent" ] || die "cannot create '$out': '$out_parent' is not a writable folder"

# The source: a commit, and nothing else unless asked.
commit=$(git -C "$root" rev-parse --verify HEAD 2>/dev/null) ||
  die "$root is not a git work tree with a commit: a release names the commit it was built from"
dirty=no
if [ -n "$(git -C "$root" status --porcelain --untracked-files=normal)" ]; then
  [ $allow_dirty = 1 ] || die "the work tree has changes that are not committed (git status); commit them or pass --allow-dirty"
  dirty=yes
  echo "release: building a work tree with uncommitted changes; it cannot be rebuilt from $commit" >&2
fi
stage="" work=""
trap 'rm -rf "$stage" "$work"' EXIT
stage=$(mktemp -d "$out_parent/.release-$(basename "$out").XXXXXX")
work=$(mktemp -d "${TMPDIR:-/tmp}/korva-release.XXXXXX")

mkdir "$stage/keys"
staged_keys=""
for i in "${!key_files[@]}"; do
  cp "${key_files[$i]}" "$stage/keys/${key_names[$i]}"
  staged_keys+="${staged_keys:+;}$stage/keys/${key_names[$i]}"
done
pinned=()
if [ ${#cert_files[@]} -gt 0 ]; then
  mkdir "$stage/publisher-certs"
  staged_certs=""
  for i in "${!cert_files[@]}"; do
    cp "${cert_files[$i]}" "$stage/publisher-certs/${cert_names[$i]}"
    staged_certs+="${staged_certs:+;}$stage/publisher-certs/${cert_names[$i]}"
  done
  pinned=("-DKORVA_PUBLISHER_CERTS=$staged_certs")
fi

echo "release: building $commit" >&2
build=$work/build
# The build takes SOURCE_DATE_EPOCH from the environment, else the commit time.
if ! {
  cd "$root" && cmake --preset mingw-release -B "$build" \
    -DBUILD_TESTING=OFF "-DKORVA_RELEASE_KEYS=$staged_keys" "${pinned[@]}" &&
    cmake --build "$build" --target korva_installer -j "$(nproc)"
} >"$work/build.log" 2>&1; then
  tail -n 30 "$work/build.log" >&2
  die "the build failed (above: the end of its log); nothing was written"
fi
cp "$build/$exe_name" "$stage/KORVA-Installer.unsigned.exe"
epoch=$(cat "$build/source-date-epoch.txt")

fact() { sed -n "s/^$1=//p" "$build/release-info.txt"; }
version=$(fact version)
compiler=$("$(fact compiler)" --version | head -n 1)
binutils=$("$(fact linker)" --version | head -n 1)

if [ ${#sign[@]} -gt 0 ]; then
  echo "release: signing (SHA-256${timestamp_url:+, time stamp from $timestamp_url})"
  osslsigncode sign "${sign[@]}" -h sha256 -n "KORVA Web Installer" \
    -in "$stage/KORVA-Installer.unsigned.exe" -out "$stage/$exe_name" >"$work/sign.log" 2>&1 ||
    { cat "$work/sign.log" >&2 && die "signing failed; nothing was written"; }
  signed=yes
  # Users check a release against this fingerprint (verify-release.sh --signer),
  # which they must get from the publisher by another way than the release
  # folder: nothing in the folder is signed but the exe. It is taken from the
  # signed exe as the verifier takes it, so it names the certificate that
  # really signed, whatever else the certificate file or PKCS#12 file holds.
  signer_fingerprint "$stage/$exe_name" "$work" >"$work/fingerprint" ||
    die "cannot read the signer's certificate back from the signed exe: $(cat "$work/fingerprint")"
  fingerprint=$(cat "$work/fingerprint")
else
  cp "$stage/KORVA-Installer.unsigned.exe" "$stage/$exe_name"
  signed=no
fi

{
  echo "name: $exe_name"
  echo "version: $version"
  echo "source-commit: $commit"
  echo "source-dirty: $dirty"
  echo "SOURCE_DATE_EPOCH: $epoch"
  echo "compiler: $compiler"
  echo "binutils: $binutils"
  echo "cmake: $(cmake --version | head -n 1)"
  for i in "${!key_files[@]}"; do
    echo "release-key: keys/${key_names[$i]} ${key_ids[$i]}"
  done
  for i in "${!cert_files[@]}"; do
    echo "publisher-cert: publisher-certs/${cert_names[$i]} ${cert_pins[$i]}"
  done
  echo "signed: $signed"
} >"$stage/BUILDINFO"
(
  cd "$stage"
  summed=("$exe_name" KORVA-Installer.unsigned.exe BUILDINFO keys/*)
  [ ! -d publisher-certs ] || summed+=(publisher-certs/*)
  sha256sum "${summed[@]}" >SHA256SUMS
)

chmod 755 "$stage"
[ ! -d "$out" ] || rmdir "$out"
mv "$stage" "$out"
trap 'rm -rf "$work"' EXIT
echo "release: $out"
ls -l "$out" | sed 1d
if [ $signed = yes ]; then
  echo "release: signed by the certificate with SHA-256 fingerprint $fingerprint"
  echo "release: publish it apart from the release; users check with: scripts/verify-release.sh DIR --signer $fingerprint"
fi
