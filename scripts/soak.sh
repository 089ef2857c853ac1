#!/usr/bin/env bash
# Soak run (by hand, not part of CI): one cohost process publishes TASKS tasks in a row (web
# galleries, proofing albums and auto-tagging, in turn) against the sandbox, while a side loop puts
# random faults on random routes through the sandbox's admin interface and takes them off again.
# Every task must return a result; cohost's open file descriptors and resident memory, sampled from
# /proc while it runs, must stay flat; and a clean run afterwards, in the same home, must publish a
# gallery. Prints the samples and the figures.
#
#   scripts/soak.sh [TASKS]          (default 200; builds into build-release unless
#                                     VORELIA_SOAK_BUILD names another build folder)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
tasks=${1:-200}
build="${VORELIA_SOAK_BUILD:-$root/build-release}"
cmake --build "$build" --target cohost cohost-osascript cohost-sample-photos VoreliaC1Plugin \
  vorelia-sandbox >/dev/null

work=$(mktemp -d /tmp/vorelia-soak-XXXXXX)
sandbox_pid="" cohost_pid="" faults_pid=""
cleanup() {
  for pid in $faults_pid $cohost_pid $sandbox_pid; do
    kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT
export HOME="$work/home" VORELIA_SECRET_STORE=file
mkdir -p "$HOME"

"$build/sandbox/vorelia-sandbox" --port 0 --seed-demo --data "$work/storage" \
  --long-poll-hold-ms 500 --encoding-delay-ms 20 >"$work/sandbox.out" 2>"$work/sandbox.log" &
sandbox_pid=$!
for _ in $(seq 100); do
  grep -q '^listening on ' "$work/sandbox.out" && break
  kill -0 "$sandbox_pid" 2>/dev/null || { cat "$work/sandbox.log" >&2; exit 1; }
  sleep 0.1
done
line=$(grep -m1 '^listening on ' "$work/sandbox.out") || { echo "the sandbox did not start" >&2; exit 1; }
url=${line#listening on }
admin() {  # method path [body]
  curl -sS -X "$1" "$url$2" ${3:+--data-binary "$3"}
}
admin POST /admin/credits '{"account":"demo-studio","credits":1000000}' >/dev/null
eval "$(grep '^export VORELIA_' "$work/sandbox.out")"  # every address of the plugin on the sandbox
# Stalls end after two seconds rather than a minute.
export VORELIA_REQUEST_TIMEOUT_MS=2000

session="$work/Session"
"$build/host/cohost-sample-photos" "$session" 400 >/dev/null
files=()
while IFS= read -r -d '' file; do files+=("\"$file\""); done \
  < <(find "$session" -name '*.jpg' -print0 | sort -z | head -z -n 3)
cohost=("$build/host/cohost" --json --bundle "$build/VoreliaC1Plugin.coplugin" --document "$session")

cat >"$work/login.cohost" <<'SCRIPT'
set userName-input "demo@vorelia.test"
set password-input "demo-password"
press login-action
set accounts-action ["demo-studio"]
SCRIPT
"${cohost[@]}" run "$work/login.cohost" >/dev/null || { echo "the login failed" >&2; exit 1; }

for ((n = 1; n <= tasks; n++)); do
  case $((n % 3)) in
    1) echo "publish voreliaPublishShare {\"albumsList-input\":\"create\",\"albumName-input\":\"Soak $((n % 20))\"} ${files[*]}" ;;
    2) echo "publish voreliaPublishProofing {\"albumsList-input\":\"create\",\"albumName-input\":\"Soak proofing $n\"} ${files[*]}" ;;
    0) echo "publish voreliaPublishAI {} ${files[*]}" ;;
  esac
done >"$work/tasks.cohost"

# The routes and faults of the fault matrix (FaultMatrix in tests/end-to-end/through_the_host_test.cpp), as admin
# interface rules. A fault stays on its route for a while, then comes off.
routes=(
  'POST /Token' 'GET /api/Account/RelatedAccounts' 'GET /api/Account/*/State'
  'GET /api/*/credits' 'GET /api/*/containers/' 'PUT /api/*/containers/Soak*'
  'PUT /api/*/inituploadresources' 'PUT /blob/*-o/*' 'PUT /api/*/encode' 'POST /api/*/shares'
  'POST /api/anonymous/longpollingstates' 'POST /api/*/$synchronize' 'PUT /api/*/visions'
  'PUT /blob/visions/*' 'POST /api/*/analyse/' 'POST /statsc1/messages'
)
faults=(
  '"status":500,"body":{"hasError":true,"message":"An error has occurred."}'
  '"status":500,"body":"<html><body><h1>Internal Server Error</h1></body></html>","contentType":"text/html"'
  '"status":403,"body":"<?xml version=\"1.0\" encoding=\"utf-8\"?><Error><Code>AuthenticationFailed</Code></Error>","contentType":"application/xml"'
  '"drop":true'
  '"stall":true'
  # Answers with a 2xx status from here on.
  '"garbage":true'
  '"status":200,"body":"{\"hasError\":false,\"value\":[{\"id\":\""'
  '"status":200,"body":{"hasError":"no","value":{"id":1},"url":["x"],"id":{"v":1},"credits":"many","name":3}'
  "\"status\":200,\"body\":\"$(head -c 100000 /dev/zero | tr '\0' '[')$(head -c 100000 /dev/zero | tr '\0' ']')\""
)
first_2xx=5

inject_faults() {
  set +e  # a refused admin call must not end the loop
  while true; do
    local route=${routes[RANDOM % ${#routes[@]}]} pick=$((RANDOM % ${#faults[@]})) id
    local method=${route%% *} path=${route#* }
    # A service that accepted an encoding request and never encodes is waited for four hours.
    [ "$path" = '/api/*/encode' ] && [ "$pick" -ge "$first_2xx" ] && continue
    # The rule goes through standard input: a 100,000-deep body is too long for a command line.
    id=$(printf '{"method":"%s","path":"%s",%s}' "$method" "$path" "${faults[pick]}" |
      curl -sS "$url/admin/faults" --data-binary @- | sed -n 's/.*"id":\([0-9]*\).*/\1/p')
    sleep "0.$((RANDOM % 9 + 1))"
    [ -n "$id" ] && admin DELETE "/admin/faults/$id" >/dev/null
    sleep "0.$((RANDOM % 9 + 1))"
  done
}

echo "== $tasks tasks in one cohost process, faults on random routes"
start=$SECONDS
nice -n 10 "${cohost[@]}" run --keep-going "$work/tasks.cohost" >"$work/tasks.out" 2>"$work/tasks.err" &
cohost_pid=$!
inject_faults >/dev/null 2>&1 &
faults_pid=$!
samples="$work/samples"
while kill -0 "$cohost_pid" 2>/dev/null; do
  fds=$(ls "/proc/$cohost_pid/fd" 2>/dev/null | wc -l) || true
  rss=$(awk '/^VmRSS/ {print $2}' "/proc/$cohost_pid/status" 2>/dev/null) || true
  done_tasks=$(grep -c '"command":"publish"' "$work/tasks.out" || true)
  [ -n "$rss" ] && echo "$((SECONDS - start)) $done_tasks $fds $rss" >>"$samples"
  sleep 2
done
status=0
wait "$cohost_pid" || status=$?
cohost_pid=""
kill "$faults_pid" 2>/dev/null && wait "$faults_pid" 2>/dev/null || true
faults_pid=""
admin DELETE /admin/faults >/dev/null

results=$(grep -c '"command":"publish"' "$work/tasks.out" || true)
links=$(grep '"command":"publish"' "$work/tasks.out" | grep -c '"message":"Click show\|"message":"Go to Capture One\|"message":"Go to metadata' || true)
echo "== cohost ended with status $status after $((SECONDS - start)) s: $results of $tasks tasks returned, $links plainly done"
echo "   seconds  tasks-done  open-fds  VmRSS-KiB"
awk '{printf "   %7d  %10d  %8d  %9d\n", $1, $2, $3, $4}' "$samples" |
  awk -v n="$(wc -l <"$samples")" 'NR == 1 || NR == n || NR % 10 == 0'
first=$(awk -v t=$((tasks / 10)) '$2 >= t {print; exit}' "$samples")
middle=$(awk -v t=$((tasks / 2)) '$2 >= t {print; exit}' "$samples")
last=$(tail -n 1 "$samples")
echo "== start (task $(echo "$first" | cut -d' ' -f2)): fds $(echo "$first" | cut -d' ' -f3), RSS $(echo "$first" | cut -d' ' -f4) KiB;" \
  "middle (task $(echo "$middle" | cut -d' ' -f2)): fds $(echo "$middle" | cut -d' ' -f3), RSS $(echo "$middle" | cut -d' ' -f4) KiB;" \
  "end (task $(echo "$last" | cut -d' ' -f2)): fds $(echo "$last" | cut -d' ' -f3), RSS $(echo "$last" | cut -d' ' -f4) KiB"

failed=0
[ "$results" -eq "$tasks" ] || { echo "FAIL: $((tasks - results)) tasks returned no result" >&2; failed=1; }
[ "$status" -le 1 ] || { echo "FAIL: cohost ended with status $status" >&2; failed=1; }
read -r _ _ fd_mid rss_mid <<<"$middle"
read -r _ _ fd_end rss_end <<<"$last"
[ "$fd_end" -le $((fd_mid + 4)) ] || { echo "FAIL: open descriptors grew from $fd_mid to $fd_end" >&2; failed=1; }
[ "$rss_end" -le $((rss_mid * 5 / 4)) ] || { echo "FAIL: resident memory grew from $rss_mid to $rss_end KiB" >&2; failed=1; }

echo "== a clean run afterwards"
cat >"$work/clean.cohost" <<SCRIPT
page
publish voreliaPublishShare {"albumsList-input":"create","albumName-input":"After the soak"} ${files[*]}
SCRIPT
clean=$("${cohost[@]}" run "$work/clean.cohost") || { echo "FAIL: the clean run failed" >&2; failed=1; }
if grep -q '"Connected to demo-studio"' <<<"$clean" && grep -q '"message":"Click show' <<<"$clean"; then
  echo "   logged in, gallery published"
else
  echo "FAIL: the clean run did not publish: $clean" >&2; failed=1
fi
exit $failed
