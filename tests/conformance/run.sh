#!/usr/bin/env bash
# Conformance of the gce-emulator with Google's own Node.js clients. Usage: run.sh GCE_EMULATOR
# Exit 77 (skipped) only when the npm packages cannot be installed.
set -u
EMU="$1"
DIR="$(cd "$(dirname "$0")" && pwd)"
if ! "$DIR/install.sh"; then
  echo "conformance: npm packages @googleapis/compute and google-auth-library unavailable; skipping"
  exit 77
fi
command -v node >/dev/null 2>&1 || { echo "conformance: node not found; skipping"; exit 77; }
WORK="$(mktemp -d)"
PID=""
cleanup() {
  if [ -n "$PID" ]; then kill "$PID" 2>/dev/null; wait "$PID" 2>/dev/null; fi
  rm -rf "$WORK"
}
trap cleanup EXIT
"$EMU" --work-dir "$WORK/emu" --time-scale 0.002 >"$WORK/info.json" 2>"$WORK/emu.err" &
PID=$!
for _ in $(seq 1 100); do
  [ -s "$WORK/info.json" ] && break
  sleep 0.1
done
if [ ! -s "$WORK/info.json" ]; then
  echo "conformance: the emulator did not start" >&2
  cat "$WORK/emu.err" >&2
  exit 1
fi
META_HOST="$(node -e 'console.log(JSON.parse(require("fs").readFileSync(process.argv[1],"utf8")).metadataHost)' "$WORK/info.json")"
CA="$(node -e 'console.log(JSON.parse(require("fs").readFileSync(process.argv[1],"utf8")).caFile)' "$WORK/info.json")"
mkdir -p "$WORK/home"
# As on a VM: no key file, no gcloud configuration; credentials come from the metadata server.
env -u GOOGLE_APPLICATION_CREDENTIALS -u GOOGLE_CLOUD_PROJECT -u GCLOUD_PROJECT \
  HOME="$WORK/home" NODE_EXTRA_CA_CERTS="$CA" GCE_METADATA_HOST="$META_HOST" \
  node "$DIR/conformance.js" "$WORK/info.json"
