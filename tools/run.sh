#!/usr/bin/env bash
# Sets up, builds and starts corvane from its bundle, with the reference server beside it
# on the default address (http://127.0.0.1:8787) unless something already listens there.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/tools/setup.sh"
bash "$root/tools/build.sh" "$root/build" -- corvane corvane-devserver

server_pid=
if ! (exec 3<>/dev/tcp/127.0.0.1/8787) 2>/dev/null; then
  "$root/build/corvane-devserver" >/dev/null &
  server_pid=$!
  trap '[ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null' EXIT
fi
"$root/build/corvane.app/Contents/MacOS/corvane" "$@"
