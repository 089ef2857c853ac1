#!/usr/bin/env bash
# The main job, against the sandbox: sets up the machine, builds the bundle, the host and the
# service stand-in, draws a session of sample photos, then drives the plugin through cohost as a
# photographer would: logs in on the preference page, chooses an account, publishes the session as a
# web gallery and prints its link, auto-tags the same photos and shows the keywords and descriptions
# now in their XMP sidecars; then publishes a proofing album, lets a client rate three photos on its
# page and brings the ratings back onto the images as colour tags. The sandbox stops at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/setup.sh
build="${VORELIA_DEMO_BUILD:-$root/build-release}"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target cohost cohost-osascript cohost-sample-photos \
  VoreliaC1Plugin vorelia-sandbox

work=$(mktemp -d /tmp/vorelia-demo-XXXXXX)
sandbox_pid=""
cleanup() {
  if [ -n "$sandbox_pid" ]; then kill "$sandbox_pid" 2>/dev/null && wait "$sandbox_pid" 2>/dev/null; fi
  rm -rf "$work"
}
trap cleanup EXIT
export HOME="$work/home" VORELIA_SECRET_STORE=file
mkdir -p "$HOME"

# The service stand-in on a free loopback port, with a demo user and accounts.
"$build/sandbox/vorelia-sandbox" --port 0 --seed-demo --data "$work/storage" --encoding-delay-ms 200 \
  >"$work/sandbox.out" 2>"$work/sandbox.log" &
sandbox_pid=$!
for _ in $(seq 100); do
  grep -q '^listening on ' "$work/sandbox.out" && break
  kill -0 "$sandbox_pid" 2>/dev/null || { cat "$work/sandbox.log" >&2; exit 1; }
  sleep 0.1
done
line=$(grep -m1 '^listening on ' "$work/sandbox.out") || { echo "the sandbox did not start" >&2; exit 1; }
url=${line#listening on }
echo "== vorelia-sandbox at $url"
# Every address of the plugin (API, web site, update library, statistics queue) points at the
# sandbox, as it prints them: nothing the demo does reaches the real service.
eval "$(grep '^export VORELIA_' "$work/sandbox.out")"

echo "== a session of sample photos"
session="$work/Session"
"$build/host/cohost-sample-photos" "$session"
files=()
while IFS= read -r -d '' file; do files+=("\"$file\""); done \
  < <(find "$session" -name '*.jpg' -print0 | sort -z)

cohost=("$build/host/cohost" --bundle "$build/VoreliaC1Plugin.coplugin" --document "$session")
# The password comes on standard input (set ... -), never in a file or on a command line.
cat >"$work/session.cohost" <<SCRIPT
page
set userName-input " Demo@Vorelia.test "
set password-input -
press login-action
set accounts-action ["demo-studio"]
press checkCredits-action
set describe-input true
page
actions ${#files[@]}
publish voreliaPublishShare {"albumsList-input":"create","albumName-input":"Demo gallery","albumDownload-input":true} ${files[*]}
publish voreliaPublishAI {} ${files[*]}
publish voreliaPublishProofing {"albumsList-input":"create","albumName-input":"Client picks"} ${files[*]}
SCRIPT
echo "== log in, choose an account, publish a web gallery, auto-tag the session, publish for proofing"
echo demo-password | "${cohost[@]}" run "$work/session.cohost" | tee "$work/cohost.out"

echo
link=$(grep -m1 '    link: "' "$work/cohost.out" | sed 's/.*link: "\(.*\)"/\1/')
echo "== the gallery: $link"
curl -sf "$link" | grep -o '<figcaption>[^<]*' | sed "s/<figcaption>/   /; s/&#39;/'/g; s/&amp;/\\&/g" || true
echo
echo "== the keywords and descriptions now in the XMP sidecars"
for sidecar in "$session"/*.xmp; do
  echo "$(basename "$sidecar")"
  exiv2 -px "$sidecar" 2>/dev/null | grep -E 'dc\.(subject|description)' | sed 's/^/   /'
done

proofing=$(grep -m1 '    link: ".*/p/' "$work/cohost.out" | sed 's/.*link: "\(.*\)"/\1/')
echo
echo "== a client rates the first, third and fifth photo on the proofing page: $proofing"
mapfile -t items < <(curl -sf "$proofing" | grep -o 'data-item="[^"]*"' | sed 's/data-item="\(.*\)"/\1/')
[ "${#items[@]}" -ge 5 ] || { echo "the proofing page shows fewer than five photos" >&2; exit 1; }
for i in 0 2 4; do
  curl -sf -o /dev/null --data-urlencode "item=${items[$i]}" --data-urlencode "rating=5" "$proofing/rate"
done
cat >"$work/proofing.cohost" <<SCRIPT
press checkAlbumsRatings-action
page
set taggingOptions-action "Purple"
set albumRating-action ["Client picks"]
wait
SCRIPT
echo "== look for ratings, show them as the colour tag Purple"
"${cohost[@]}" run "$work/proofing.cohost" | grep -E 'multilist albumRating|option "Client picks"|^  ran:' || true
echo
echo "== the colour tags now in the XMP sidecars"
for sidecar in "$session"/*.xmp; do
  echo "$(basename "$sidecar"): $(exiv2 -px "$sidecar" 2>/dev/null | grep -E 'xmp\.Label' | awk '{print $NF}' | grep . || echo "(none)")"
done

echo
echo "== requests that reached the sandbox for the update library and the statistics queue"
curl -sf "$url/admin/requests" | grep -o '"method":"[A-Z]*","path":"/\(libraries\|statsc1\)[^"]*"' \
  | sed 's/"method":"\([A-Z]*\)","path":"\([^"]*\)"/   \1 \2/' | sort | uniq -c
