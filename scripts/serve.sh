#!/usr/bin/env bash
# Runs the editor locally: lighttpd on 127.0.0.1 starts build/plugin_notes through CGI per request.
# PORT (default 8080), NOTES_DIR (default data/ in the checkout), BUILD (default build) and
# ORVIK_PASSWORD (empty: no password) change the defaults. Stop it with Ctrl+C.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
port=${PORT:-8080}
build=${BUILD:-build}
notes=${NOTES_DIR:-$root/data}
exe=$build/plugin_notes
[ -x "$exe" ] || { echo "$exe is missing: run make serve (or make build-program)" >&2; exit 1; }
scripts/deps.sh lighttpd lighttpd-mod-deflate
export PATH=$PATH:/usr/sbin
conf=$build/lighttpd/serve.conf
scripts/lighttpd-conf.sh "$conf" "$port" "$notes" "$exe"
export ORVIK_PASSWORD=${ORVIK_PASSWORD-}
lighttpd -tt -f "$conf" >/dev/null
echo "notes editor: http://127.0.0.1:$port/plugin_notes  (notes in $notes; Ctrl+C stops)"
[ -n "$ORVIK_PASSWORD" ] && echo "node password set: open http://127.0.0.1:$port/plugin_notes?pwd=<password>"
exec lighttpd -D -f "$conf"
