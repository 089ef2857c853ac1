#!/usr/bin/env bash
# The main job, against the sandbox: sets up the machine, builds the bundle, the host and the
# service stand-in, then drives the plugin through cohost as a user would: the login page, logging
# in, choosing an account, checking credits, the publishing actions and an album panel; then a
# restart that restores the login.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/setup.sh
build="${VORELIA_DEMO_BUILD:-$root/build-release}"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target cohost VoreliaC1Plugin vorelia-sandbox

work=$(mktemp -d /tmp/vorelia-demo-XXXXXX)
sandbox_pid=""
cleanup() {
  [ -n "$sandbox_pid" ] && kill "$sandbox_pid" 2>/dev/null && wait "$sandbox_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
export HOME="$work/home" VORELIA_SECRET_STORE=file
mkdir -p "$HOME"

# The service stand-in on a free loopback port, with a demo user and albums.
"$build/sandbox/vorelia-sandbox" --port 0 --seed-demo >"$work/sandbox.out" 2>"$work/sandbox.log" &
sandbox_pid=$!
for _ in $(seq 100); do
  grep -q '^listening on ' "$work/sandbox.out" && break
  kill -0 "$sandbox_pid" 2>/dev/null || { cat "$work/sandbox.log" >&2; exit 1; }
  sleep 0.1
done
line=$(grep -m1 '^listening on ' "$work/sandbox.out") || { echo "the sandbox did not start" >&2; exit 1; }
url=${line#listening on }
echo "== vorelia-sandbox at $url"
export VORELIA_API_URL="$url/" VORELIA_WEB_URL="$url"

cohost=("$build/host/cohost" --bundle "$build/VoreliaC1Plugin.coplugin")
# The password goes through a script file, never a command line.
cat >"$work/session.cohost" <<'SCRIPT'
page
set userName-input " Demo@Vorelia.test "
set password-input "demo-password"
press login-action
page
set accounts-action ["demo-studio"]
press checkCredits-action
page
actions 3
action-page voreliaPublishShare
action-set voreliaPublishShare albumsList-input "create"
processing voreliaPublishAI
SCRIPT
echo "== a first session: log in and choose an account"
"${cohost[@]}" run "$work/session.cohost"

echo "== a restart: the login is restored from the defaults and the keyring"
"${cohost[@]}" page
