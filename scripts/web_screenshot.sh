#!/usr/bin/env bash
# A screenshot of a web page in headless Chromium (Debian `chromium`), once its tiles
# have loaded: the browser test's and the README's.
#   scripts/web_screenshot.sh URL OUT.png [NET_LOG.json] [WIDTHxHEIGHT]
# NET_LOG, when given, receives Chromium's network log (every request and who asked).
set -euo pipefail
url=${1:?usage: $0 URL OUT.png [NET_LOG.json] [WIDTHxHEIGHT]}
out=${2:?usage: $0 URL OUT.png [NET_LOG.json] [WIDTHxHEIGHT]}
size=${4:-800x600}
browser=$(command -v chromium || command -v chromium-browser || true)
[ -n "$browser" ] || { echo "chromium not found (apt-get install chromium)" >&2; exit 2; }
profile=$(mktemp -d)
trap 'rm -rf "$profile"' EXIT
log=()
[ -n "${3:-}" ] && log=(--log-net-log="$3")
# --no-sandbox: the tests run as root; the virtual time budget lets the tiles load.
timeout 120 "$browser" --headless --no-sandbox --disable-gpu --hide-scrollbars \
  --user-data-dir="$profile" --no-first-run --window-size="${size/x/,}" \
  --virtual-time-budget=6000 --screenshot="$out" "${log[@]}" "$url" >/dev/null 2>&1
[ -s "$out" ]
