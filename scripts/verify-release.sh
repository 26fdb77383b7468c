#!/usr/bin/env bash
# Checks a release folder written by scripts/release.sh, one line per check:
#   sha256sums        every file matches SHA256SUMS, which covers both exes and BUILDINFO
#   release-keys      the public keys in keys/ are the ones BUILDINFO names
#   publisher-certs   a pinned build's certificates in publisher-certs/ have the public-key
#                     SHA-256 that BUILDINFO pins (SKIP for a build that pins none)
#   signature         osslsigncode verifies the Authenticode signature against the CA, and
#                     the signing certificate is the one --signer names
#   remove-signature  the signed exe less its signature is the unsigned exe, byte for byte
#   rebuild           the commit in BUILDINFO, which must be in this repository's history,
#                     built again by its own release command in a fresh clone, gives the
#                     unsigned exe byte for byte
# Exits 0 only when every check passed. Nothing in the folder is trusted: only
# its own regular files with plain names are read, and its text is printed
# as plain ASCII.
#
#   scripts/verify-release.sh DIR --signer SHA256 [--ca CA.pem] [--repo GIT-REPOSITORY]
#       [--skip-rebuild] [--allow-unsigned]
#
# --signer is the SHA-256 fingerprint of the publisher's signing certificate
# (64 hex digits, colons and case as you like), as the publisher announces it.
# It is never read from the release folder: nothing there is signed but the
# exe, so a forger would write their own. A signed release checked without
# --signer fails the signature check. --allow-unsigned accepts a release
# whose exe carries no signature at all; without it such a release fails.
# --ca defaults to the system's certificate bundle; --repo (where the source
# commit is fetched from) to the repository holding this script. Wherever it
# is fetched from, the commit must be in the history of this repository's
# HEAD: the rebuild runs the commit's own release command. The fetch checks
# every object it receives, so another repository's objects cannot stand in
# for that commit's files.
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
exe=KORVA-Installer.exe
unsigned=KORVA-Installer.unsigned.exe

# Everything printed passes through here: the folder's text is anyone's, and
# an escape sequence in it could repaint the terminal, a false PASS included.
plain() { printf '%s' "$*" | LC_ALL=C tr -c '\040-\176' '?'; }
say() { printf '%s\n' "$(plain "$*")"; }

usage() {
  awk '/^#   scripts/ { shown = 1 } shown && !/^#/ { exit } shown' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//' >&2
  exit "${1:-2}"
}
bad_usage() {
  say "verify-release: $*" >&2
  exit 2
}
dir="" ca="" repo=$root rebuild=1 signer="" allow_unsigned=0
while [ $# -gt 0 ]; do
  case $1 in
    --ca | --repo | --signer)
      [ $# -ge 2 ] || bad_usage "$1 needs a value"
      case $1 in
        --ca) ca=$2 ;;
        --repo) repo=$2 ;;
        --signer)
          signer=$(printf '%s' "$2" | tr -d : | tr A-F a-f)
          [[ $signer =~ ^[0-9a-f]{64}$ ]] ||
            bad_usage "--signer '$2' is not a SHA-256 fingerprint: 64 hex digits, with or without colons (openssl x509 -noout -fingerprint -sha256)"
          ;;
      esac
      shift 2
      ;;
    --skip-rebuild) rebuild=0 && shift ;;
    --allow-unsigned) allow_unsigned=1 && shift ;;
    -h | --help) usage 0 ;;
    -*) say "verify-release: unknown option '$1'" >&2 && usage ;;
    *) [ -z "$dir" ] || usage && dir=$1 && shift ;;
  esac
done
[ -n "$dir" ] || usage
[ -d "$dir" ] || bad_usage "'$dir' is not a folder"
dir=$(cd "$dir" && pwd)
if [ -n "$ca" ]; then
  [ -f "$ca" ] && [ -r "$ca" ] || bad_usage "CA file '$ca' is not a readable file"
  ca=$(cd "$(dirname "$ca")" && pwd)/$(basename "$ca")
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/korva-verify.XXXXXX")
trap 'rm -rf "$work"' EXIT
failed=0
pass() { say "PASS $1: $2"; }
fail() {
  say "FAIL $1: $2"
  failed=$((failed + 1))
}
skip() { say "SKIP $1: $2"; }

# A file of the release folder itself: a plain name, in the folder or in
# keys/ or publisher-certs/, and a regular file, not a link. Anything else
# (a path out of the folder, '-', /dev/zero, a FIFO, a ';' that splits a
# list later) is never read.
member() { # NAME
  local base=${1#*/}
  [[ $base =~ ^[A-Za-z0-9_][A-Za-z0-9._+-]*$ ]] && [[ $base != *..* ]] || return 1
  if [ "$base" != "$1" ]; then
    case ${1%%/*} in keys | publisher-certs) ;; *) return 1 ;; esac
    [ -d "$dir/${1%%/*}" ] && [ ! -L "$dir/${1%%/*}" ] || return 1
  fi
  [ -f "$dir/$1" ] && [ ! -L "$dir/$1" ]
}
# BUILDINFO and SHA256SUMS are a few lines; bigger is no release of ours.
max_text_bytes=65536
have() { [ "${present[$1]:-0}" = 1 ]; }
declare -A present=()
for file in BUILDINFO SHA256SUMS "$exe" "$unsigned"; do
  if ! member "$file"; then
    fail files "$file is missing, or is not a regular file of the folder"
  elif [[ $file != *.exe ]] && [ "$(stat -c %s "$dir/$file")" -gt $max_text_bytes ]; then
    fail files "$file is larger than $max_text_bytes bytes"
  else
    present[$file]=1
  fi
done
info() { ! have BUILDINFO || sed -n "s/^$1: //p" "$dir/BUILDINFO"; }

# Only SHA256SUMS lines as release.sh writes them, each naming a file of the
# folder, are read; and a SHA256SUMS that simply leaves a file out must not
# pass.
check_sums() {
  local file line name count=0 mismatched=""
  for file in "$exe" "$unsigned" BUILDINFO; do
    grep -Eq "^[0-9a-f]{64}  $file\$" "$dir/SHA256SUMS" || {
      fail sha256sums "SHA256SUMS has no line for $file"
      return
    }
  done
  while IFS= read -r line || [ -n "$line" ]; do
    name=${line:66}
    if ! [[ $line =~ ^[0-9a-f]{64}\ \  ]] || ! member "$name"; then
      fail sha256sums "SHA256SUMS has a line that is not '<SHA-256>  <a file of the folder>': $line"
      return
    fi
    [ "$(sha256sum <"$dir/$name" | cut -c1-64)" = "${line:0:64}" ] || mismatched+=" $name"
    count=$((count + 1))
  done <"$dir/SHA256SUMS"
  if [ -n "$mismatched" ]; then
    fail sha256sums "these files do not match their SHA256SUMS line:$mismatched"
  else
    pass sha256sums "$count files match"
  fi
}
have SHA256SUMS && check_sums

# The file that a BUILDINFO value "FOLDER/NAME VALUE" names, copied out of the
# folder: the copy is what is judged and what the rebuild builds with, so no
# path can make the two differ. Prints the copy's path; fails unless the value
# has that form and NAME is a file of the folder.
take_listed() { # FOLDER VALUE-PATTERN LINE
  local name
  [[ $3 =~ ^$1/([^ ]+)\ $2$ ]] && name=${BASH_REMATCH[1]} && member "$1/$name" || return 1
  mkdir -p "$work/input/$1" && cp "$dir/$1/$name" "$work/input/$1/" && echo "$work/input/$1/$name"
}

# keys/ is what the rebuild builds in; its ids must be BUILDINFO's.
keys=""
check_keys() {
  local line copy
  [ -n "$(info release-key)" ] || {
    fail release-keys "BUILDINFO names no release key"
    return
  }
  while IFS= read -r line; do
    if ! copy=$(take_listed keys '[0-9a-f]{16}' "$line"); then
      fail release-keys "BUILDINFO's 'release-key: $line' names no file of keys/ with a key id"
      return
    fi
    if [ "$(openssl pkey -pubin -in "$copy" -outform DER 2>/dev/null | sha256sum | cut -c1-16)" != "${line##* }" ]; then
      fail release-keys "${line% *} is not the key ${line##* }"
      return
    fi
    keys+="${keys:+;}$copy"
  done < <(info release-key)
  pass release-keys "$(info release-key | awk '{print $2}' | tr '\n' ' ')"
}
check_keys

# publisher-certs/ is what the rebuild pins: each certificate's public-key
# SHA-256 (what korva-release pin prints) must be BUILDINFO's.
certs=""
check_certs() {
  local line copy pin
  [ -n "$(info publisher-cert)" ] || {
    skip publisher-certs "BUILDINFO pins no publisher certificate: a build that starts a setup program on its SHA-256 alone"
    return
  }
  while IFS= read -r line; do
    if ! copy=$(take_listed publisher-certs '[0-9a-f]{64}' "$line"); then
      fail publisher-certs "BUILDINFO's 'publisher-cert: $line' names no file of publisher-certs/ with a SHA-256"
      return
    fi
    pin=$(openssl x509 -in "$copy" -pubkey -noout 2>/dev/null | openssl pkey -pubin -outform DER 2>/dev/null |
      sha256sum | cut -c1-64)
    if [ "$(grep -c -- '-----BEGIN CERTIFICATE-----' "$copy")" != 1 ] || [ "$pin" != "${line##* }" ]; then
      fail publisher-certs "${line% *} is not one certificate whose public key has the SHA-256 ${line##* }"
      return
    fi
    certs+="${certs:+;}$copy"
  done < <(info publisher-cert)
  pass publisher-certs "$(info publisher-cert | awk '{print $1 " " substr($2, 1, 16) "...";}' | tr '\n' ' ')"
}
check_certs

# shellcheck source=scripts/signer-fingerprint.sh
. "$root/scripts/signer-fingerprint.sh"

# Whether the exe is signed is read from the exe: BUILDINFO's "signed:" line
# is no more signed than the rest of the folder, so it can only make a check
# fail, never let one pass.
check_signature() {
  local claimed found subject verify=(osslsigncode verify -in "$dir/$exe")
  [ -z "$ca" ] || verify+=(-CAfile "$ca")
  claimed=$(info signed)
  mkdir "$work/signer"
  if ! osslsigncode extract-signature -in "$dir/$exe" -out "$work/signer/probe.p7" >"$work/probe.log" 2>&1; then
    # Worded "No signature found" by osslsigncode 2.6 and later, "does not
    # have any signature" before.
    if ! grep -q -e 'No signature found' -e 'does not have any signature' "$work/probe.log"; then
      fail signature "osslsigncode cannot read $exe: $(grep -v -e '^PE checksum' -e '^Failed' "$work/probe.log" | tr '\n' ' ')"
    elif [ "$claimed" = yes ]; then
      fail signature "$exe carries no Authenticode signature, yet BUILDINFO says 'signed: yes'"
    elif [ $allow_unsigned = 0 ]; then
      fail signature "$exe is not signed, and an unsigned release passes only with --allow-unsigned (BUILDINFO's 'signed: ${claimed:-(none)}' is signed by no one and proves nothing)"
    elif cmp -s "$dir/$exe" "$dir/$unsigned"; then
      pass signature "unsigned release, accepted by --allow-unsigned; $exe is $unsigned"
    else
      fail signature "$exe is not signed and differs from $unsigned"
    fi
    skip remove-signature "$exe carries no signature"
    return
  fi

  # A signature that does not verify says nothing about who made it, so that
  # is judged first.
  if ! "${verify[@]}" >"$work/verify.log" 2>&1; then
    fail signature "osslsigncode verify: $(grep -iE 'fail|error|mismatch' "$work/verify.log" | head -n 3 | tr '\n' ' ')"
  elif ! found=$(signer_fingerprint "$dir/$exe" "$work/signer"); then
    fail signature "$found"
  else
    subject=$(openssl x509 -in "$work/signer/signer.pem" -noout -subject -nameopt RFC2253 | sed 's/^subject=//')
    if [ -z "$signer" ]; then
      fail signature "signed by '$subject' (SHA-256 $found), but no --signer names the certificate to expect: pass --signer with the fingerprint the publisher announces (not one read from this folder)"
    elif [ "$(printf '%s' "$found" | tr -d : | tr A-F a-f)" != "$signer" ]; then
      fail signature "the signer is not the one named: signed by '$subject' (SHA-256 $found), --signer names $(printf '%s' "$signer" | tr a-f A-F | sed 's/../&:/g; s/:$//')"
    elif [ "$claimed" != yes ]; then
      fail signature "$exe is signed, yet BUILDINFO says 'signed: ${claimed:-(none)}'"
    else
      pass signature "signed by the named certificate '$subject' (SHA-256 $found; CA: ${ca:-system bundle})"
    fi
  fi
  if ! osslsigncode remove-signature -in "$dir/$exe" -out "$work/stripped.exe" >"$work/remove.log" 2>&1; then
    fail remove-signature "osslsigncode could not remove the signature: $(tail -n 1 "$work/remove.log")"
  elif cmp -s "$work/stripped.exe" "$dir/$unsigned"; then
    pass remove-signature "the signed exe less its signature is $unsigned"
  else
    fail remove-signature "the signed exe less its signature differs from $unsigned: $(cmp "$work/stripped.exe" "$dir/$unsigned" 2>&1 | sed "s|$work/||")"
  fi
}
have "$exe" && have "$unsigned" && check_signature

check_rebuild() {
  local commit epoch built
  commit=$(info source-commit)
  epoch=$(info SOURCE_DATE_EPOCH)
  [[ $commit =~ ^[0-9a-f]{40}$ ]] && [[ $epoch =~ ^[0-9]+$ ]] || {
    fail rebuild "BUILDINFO names no source commit and SOURCE_DATE_EPOCH"
    return
  }
  [ "$(info source-dirty)" = no ] || {
    fail rebuild "built from a work tree with uncommitted changes: no commit gives these bytes"
    return
  }
  # The rebuild runs the release command of the commit it builds, so only a
  # commit in the history of this repository's HEAD is built: code the
  # verifier already has checked out, and trusts by running this very script.
  # --repo's HEAD would not do: it is only where the source is fetched from,
  # perhaps the publisher's own, and a hostile publisher makes its commit that
  # HEAD. A commit from anywhere else could run anything here and hand back
  # whatever exe it likes.
  local head
  head=$(git -C "$root" rev-parse --verify -q 'HEAD^{commit}') || {
    fail rebuild "$root (holding this script) is not a git repository with a commit, so nothing says commit $commit is one you trust"
    return
  }
  if ! git -C "$root" cat-file -e "$commit^{commit}" 2>/dev/null; then
    fail rebuild "commit $commit is not in this verifier's history ($root, HEAD $head): only code you already have is run; if the commit is new, update your copy from a source you trust, then check again"
    return
  fi
  if ! git -C "$root" merge-base --is-ancestor "$commit" "$head"; then
    fail rebuild "commit $commit is in $root but not in the history of its HEAD $head: only code you already have checked out is run; check out the release's branch if you trust it, then check again"
    return
  fi
  # Fetched, never copied: a clone of a local path copies its object files
  # as they are, so an object there could hold other bytes than the commit's
  # own under their name, and that would run. A fetch hashes every object it
  # receives and checks them (transfer.fsckObjects), so such an object is
  # missing, not replaced.
  if ! git clone -q --no-local --no-checkout --config transfer.fsckObjects=true -- "$repo" "$work/src" \
    >"$work/clone.log" 2>&1 || ! git -C "$work/src" checkout -q --detach "$commit" >>"$work/clone.log" 2>&1; then
    fail rebuild "commit $commit could not be fetched whole from $repo, with every object checked: $(tail -n 2 "$work/clone.log" | tr '\n' ' ')"
    return
  fi
  local pinned=()
  [ -z "$certs" ] || pinned=(--publisher-certs "$certs")
  if ! SOURCE_DATE_EPOCH=$epoch "$work/src/scripts/release.sh" --keys "$keys" "${pinned[@]}" --out "$work/out" \
    >"$work/rebuild.log" 2>&1; then
    fail rebuild "the release command failed: $(tail -n 3 "$work/rebuild.log" | tr '\n' ' ')"
    return
  fi
  built=$work/out/$unsigned
  if cmp -s "$built" "$dir/$unsigned"; then
    pass rebuild "$commit rebuilt in another folder gives $unsigned byte for byte ($(stat -c %s "$built") bytes)"
  else
    fail rebuild "$commit rebuilt gives different bytes: $(cmp -l "$built" "$dir/$unsigned" 2>/dev/null | wc -l) bytes differ"
  fi
  # Another compiler or linker explains a difference; same tools make it suspicious.
  local field
  for field in compiler binutils; do
    [ "$(sed -n "s/^$field: //p" "$work/out/BUILDINFO")" = "$(info $field)" ] ||
      say "note: this machine's $field is '$(sed -n "s/^$field: //p" "$work/out/BUILDINFO")', the release's '$(info $field)'"
  done
}
if [ $rebuild = 1 ]; then
  check_rebuild
else
  echo "SKIP rebuild: --skip-rebuild"
fi

if [ $failed -gt 0 ]; then
  say "verify-release: $dir: $failed check(s) failed"
  exit 1
fi
say "verify-release: $dir: every check passed"
