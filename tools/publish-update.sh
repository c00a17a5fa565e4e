#!/usr/bin/env bash
# Publishes an update archive into the reference server's releases folder: the archive as
# corvane-mac.zip, then version.json with its version, SHA-256 digest and the Ed25519
# signature of its bytes by the private key from tools/update-key.sh.
# Usage: bash tools/publish-update.sh --key DIR/update-key.pem --version 1.5.0 ARCHIVE RELEASES_DIR
set -euo pipefail
usage() {
  echo "usage: $0 --key KEY.pem --version VERSION ARCHIVE RELEASES_DIR" >&2
  exit 2
}
key='' version=''
while [ $# -gt 0 ]; do
  case $1 in
    --key) [ $# -ge 2 ] || usage; key=$2; shift 2 ;;
    --version) [ $# -ge 2 ] || usage; version=$2; shift 2 ;;
    --*) usage ;;
    *) break ;;
  esac
done
[ -n "$key" ] && [ $# -eq 2 ] || usage
# Clients compare up to four numbers: a version of other characters, or whose numbers overflow,
# would never be newer than theirs. It is also written into JSON as it is.
[[ $version =~ ^[0-9]{1,18}(\.[0-9]{1,18}){0,3}$ ]] ||
  { echo "not a version of up to four numbers: '$version'" >&2; exit 2; }
# Clients verify only Ed25519 signatures.
openssl pkey -in "$key" -noout -text 2>/dev/null | grep -q '^ED25519 Private-Key' ||
  { echo "not an Ed25519 private key: $key" >&2; exit 2; }
archive=$1 releases=$2
# Clients refuse an archive over 64 MiB, one that does not unpack whole, one with a path that
# leaves its folder and one whose program is not executable: they would fetch it again at
# every check and never update.
[ "$(stat -c %s "$archive")" -le 67108864 ] || { echo "the archive is over 64 MiB" >&2; exit 2; }
unzip -tqq "$archive" >/dev/null 2>&1 || { echo "the archive does not unpack whole" >&2; exit 2; }
names=$(zipinfo -1 "$archive")
! grep -qE '^/|(^|/)\.\.(/|$)' <<< "$names" ||
  { echo "the archive has a path that leaves its folder" >&2; exit 2; }
[[ $(zipinfo "$archive" corvane.app/Contents/MacOS/corvane 2>/dev/null) == -??x* ]] ||
  { echo "the archive's corvane.app/Contents/MacOS/corvane is not an executable file" >&2; exit 2; }
plist=$(unzip -p "$archive" corvane.app/Contents/Info.plist | tr -d ' \t\r\n')
value() { sed -n "s|.*<key>$1</key><string>\([^<]*\)</string>.*|\1|p" <<< "$plist"; }
# Clients install only a bundle that is the version its manifest names.
bundled=$(value CFBundleShortVersionString)
[ "$bundled" = "$version" ] ||
  { echo "the archive holds version '$bundled', not $version" >&2; exit 2; }
# A client updated to the bundle checks later updates with the bundle's key on the bundle's
# server: without this key or a server it would never update again.
public=$(openssl pkey -in "$key" -pubout -outform DER | tail -c 32 | base64 -w0)
[ "$(value CorvaneUpdateKey)" = "$public" ] ||
  { echo "the archive's bundle does not hold the public key of $key" >&2; exit 2; }
case $(value CorvaneServerUrl) in
  '' | __*__) echo "the archive's bundle names no server" >&2; exit 2 ;;
esac
sha256=$(openssl dgst -sha256 -r "$archive" | cut -d' ' -f1)
signature=$(openssl pkeyutl -sign -inkey "$key" -rawin -in "$archive" | base64 -w0)
[ -n "$signature" ]
mkdir -p "$releases"
# Each file appears whole: a client never reads a half-copied archive or manifest.
cp "$archive" "$releases/.corvane-mac.zip.new"
mv -f "$releases/.corvane-mac.zip.new" "$releases/corvane-mac.zip"
printf '{"version":"%s","sha256":"%s","signature":"%s"}\n' "$version" "$sha256" "$signature" \
  > "$releases/.version.json.new"
mv -f "$releases/.version.json.new" "$releases/version.json"
