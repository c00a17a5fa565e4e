#!/usr/bin/env bash
# Writes a new Ed25519 key pair for signing update archives into DIR:
#   update-key.pem      the private key (mode 600), which stays on the release machine;
#   update-key.pub.b64  the base64 of the 32-byte public key, for -DCORVANE_UPDATE_KEY=...
# An existing key is never replaced: bundles built with it would accept no later update.
# Usage: bash tools/update-key.sh DIR
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 DIR" >&2; exit 2; }
dir=$1
mkdir -p "$dir"
if [ -e "$dir/update-key.pem" ]; then
  echo "$dir/update-key.pem exists; not replaced" >&2
  exit 1
fi
(umask 077 && openssl genpkey -algorithm ed25519 -out "$dir/update-key.pem")
chmod 600 "$dir/update-key.pem"
# The raw key is the last 32 bytes of the public key's DER form.
openssl pkey -in "$dir/update-key.pem" -pubout -outform DER | tail -c 32 | base64 -w0 \
  > "$dir/update-key.pub.b64"
echo >> "$dir/update-key.pub.b64"
