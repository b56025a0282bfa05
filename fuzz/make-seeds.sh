#!/usr/bin/env bash
# Regenerates the seed corpora from the answers of a running gce-emulator
# (default scenario, --time-scale 0). Each seed is the fuzz target's header
# bytes followed by an answer exactly as the emulator sent it.
#   make-seeds.sh API_HOST METADATA_HOST CA_FILE
# The hand-written seeds (host records, GCP error shapes the emulator does not
# produce on demand) are written here too, so the corpus is one script's output.
set -euo pipefail

api=${1:?api host}
meta=${2:?metadata host}
ca=${3:?ca file}
out=$(cd "$(dirname "$0")" && pwd)/corpus
base="https://$api/compute/v1/projects/demo-project"

rest="$out/rest_response"
host="$out/host_records"
scsi="$out/scsi_inquiry"
rm -rf "$rest" "$host" "$scsi"
mkdir -p "$rest" "$host" "$scsi"

# seed FILE READER FLAGS: header bytes, then stdin.
seed() {
    { printf "\\x$(printf %02x "$2")\\x$(printf %02x "$3")"; cat; } > "$1"
}

token_json=$(curl -sf -H 'Metadata-Flavor: Google' \
    "http://$meta/computeMetadata/v1/instance/service-accounts/default/token")
token=$(printf '%s' "$token_json" | sed -E 's/.*"access_token":"([^"]+)".*/\1/')
get() { curl -s --cacert "$ca" -H "Authorization: Bearer $token" "$base/$1"; }
post() {
    curl -s --cacert "$ca" -H "Authorization: Bearer $token" -H 'Content-Type: application/json' \
        -X POST --data "$2" "$base/$1"
}

# Reader numbers as in fuzz_rest_response.cpp; flags: 1 regional, 2 second
# attempt, 4 resource id known, 8 disk name known, 16 location known.
disk=$(get zones/us-central1-a/disks/data-disk-1)
printf '%s' "$disk" | seed "$rest/disk-by-name" 0 8
printf '%s' "$disk" | seed "$rest/disk-by-id-zonal" 1 0
get regions/us-central1/disks/regional-disk-1 | seed "$rest/disk-by-id-regional" 1 1
get zones/us-central1-a/instances/mover-1 | seed "$rest/instance-disks" 2 0
op=$(post zones/us-central1-a/disks/data-disk-1/createSnapshot '{"name":"snap-1"}')
printf '%s' "$op" | seed "$rest/operation-first" 5 0
printf '%s' "$op" | seed "$rest/operation-next" 5 2
printf '%s' "$op" | seed "$rest/operation-links" 6 0
snap=$(get global/snapshots/snap-1)
printf '%s' "$snap" | seed "$rest/snapshot-resource-id" 3 0
printf '%s' "$snap" | seed "$rest/snapshot-details" 4 24
printf '%s' "$snap" | seed "$rest/resource-status" 7 0
missing=$(get zones/us-central1-a/disks/no-such-disk)
printf '%s' "$missing" | seed "$rest/error-not-found" 8 0
printf '%s' "$missing" | seed "$rest/operation-not-found" 5 0
post zones/us-central1-a/disks '{"name":"Bad_Name"}' | seed "$rest/error-invalid" 8 0
curl -s --cacert "$ca" -H 'Authorization: Bearer expired' "$base/zones/us-central1-a/disks/x" |
    seed "$rest/error-unauthenticated" 12 0
clone=$(post zones/us-central1-a/disks \
    '{"name":"bxinterim-snap-1","sourceSnapshot":"global/snapshots/snap-1"}')
printf '%s' "$clone" | seed "$rest/interim-clone-operation" 6 0
get zones/us-central1-a/disks/bxinterim-snap-1 | seed "$rest/interim-clone" 11 0
# The token answer's shape with a made-up token, so no live credential sits in
# the corpus.
seed_token=$(printf '%s' "$token_json" | sed -E 's/"access_token":"[^"]+"/"access_token":"ya29.seed-token-not-live"/')
printf '%s' "$seed_token" | seed "$rest/token" 12 0
printf '%s' "$seed_token" | seed "$rest/token-masked" 13 0
{ printf 'name,id,labels/app,zone,users\n'; printf '%s' "$disk"; } | seed "$rest/field-list" 10 0
printf '%s' "$disk" | seed "$rest/json-round-trip" 14 0
printf '%s' '{"error":{"code":503,"message":"Backend Error","errors":[{"message":"Backend Error","domain":"global","reason":"backendError"}],"status":"UNAVAILABLE"}}' |
    seed "$rest/backend-error" 9 0
printf '%s' 'grant_type=urn%3Aietf%3Aparams%3Aoauth%3Agrant-type%3Ajwt-bearer&assertion=eyJhbGciOiJSUzI1NiJ9.eyJpc3MiOiJ4In0.c2ln' |
    seed "$rest/token-request-masked" 13 0

# Host records: byte 0 operation - 1, byte 1 shape (1 operation properties,
# 2 clone options, 4 clone flag, 8 two records); lines: source device, snap
# uuid item, transient item, device type, service account, cloud location,
# labels, interim clone, source instance, clone device, key file, options.
items='4411|demo-project|7777|9001|
data-disk-1|
pd-ssd|
mover@demo-project.iam.gserviceaccount.com|
us-central1-a||
{"app":"db","tier":"data"}
bxinterim-1|bxinterim-snap-1|'
printf '/dev/sdb\n' | seed "$host/prepare-local" 0 0
printf 'demo-project|4411\n\n\n\nus-central1-a||\n\n\ndemo-project|7777\n\nenc:key-pem\n' |
    seed "$host/prepare-hpx" 0 0
printf '/dev/sdb\n%s\n' "$items" | seed "$host/snap-local" 1 0
printf 'demo-project|4411\n%s\ndemo-project|7777\n\nenc:key-pem\nEnableGuestFlush=true\n' "$items" |
    seed "$host/snap-hpx-guest-flush" 1 1
printf 'demo-project|4411\n%s\ndemo-project|7777\nbxclone-data-disk-1-1|5566|https://compute/zones/us-central1-a/disks/bxclone-data-disk-1-1\nkey.p12\ndestination-project-id=other-project\ndestination-zone=us-central1-b\ndestination-pwd=xenc:pem\ndestination-replica-zones=us-central1-a,us-central1-b\nin-place-restore=false\n' "$items" |
    seed "$host/unmap-hpx-restore" 3 7
printf 'demo-project|4411\n%s\ndemo-project|7777\n\nenc:key-pem\ndestination-p12file=key.p12\ndestination-pwd=notasecret\ndestination-zone=us-east1-b\n' "$items" |
    seed "$host/map-hpx-p12" 2 3
printf '/dev/sdb\n%s\n' "$items" | seed "$host/revert-labels" 4 0
printf '/dev/sdb\n4411|demo-project|7777|\n' | seed "$host/delete-no-resource-id" 5 8
printf '/dev/sdb\n%s\n' "$items" | seed "$host/reconcile" 6 0

# SCSI: byte 0 path (0 parsers, 1 standard check, 2 both pages), byte 1 the
# length of the standard answer; then the answers as the emulator's SCSI view
# gives them for /dev/sdb (a persistent disk) and /dev/sde (not Google).
inquiry() {
    curl -s --cacert "$ca" "https://$api/emulator/v1/scsi/inquiry?device=$1&evpd=$2&page=$3&alloc=255" |
        sed -E 's/.*"data":"([0-9a-f]*)".*/\1/' | xxd -r -p
}
std=$(mktemp)
vpd=$(mktemp)
inquiry /dev/sdb 0 0 > "$std"
inquiry /dev/sdb 1 131 > "$vpd"
seed "$scsi/standard-google" 0 0 < "$std"
seed "$scsi/page83" 0 0 < "$vpd"
seed "$scsi/check-google" 1 255 < "$std"
cat "$std" "$vpd" | seed "$scsi/details-google" 2 "$(stat -c %s "$std")"
inquiry /dev/sde 0 0 > "$std"
seed "$scsi/check-qemu" 1 255 < "$std"
rm -f "$std" "$vpd"
