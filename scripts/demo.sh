#!/usr/bin/env bash
# The main job: sets up the machine, builds the plugin bundle and the host, and runs the host on the
# bundle in a fresh home folder to show the plugin's preference page and its publishing actions.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/setup.sh
cmake -S "$root" -B "$root/build-release" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build-release" -j "$(nproc)" --target cohost VoreliaC1Plugin

demo_home=$(mktemp -d /tmp/vorelia-demo-XXXXXX)
trap 'rm -rf "$demo_home"' EXIT
export HOME="$demo_home" VORELIA_SECRET_STORE=file

cohost="$root/build-release/host/cohost"
bundle="$root/build-release/VoreliaC1Plugin.coplugin"
echo "== the preference page"
"$cohost" --bundle "$bundle" page
echo "== the publishing actions for three selected images"
"$cohost" --bundle "$bundle" actions 3
