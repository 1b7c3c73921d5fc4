#!/usr/bin/env bash
# The demo: Conduit on a fresh virtual target, driven by conduit-cli as a host tool would.
#   target/demo.sh [BUILD_DIR]      (make demo runs it on build/default)
set -euo pipefail
build=${1:-build/default}
port=${PORT:-20950}
target_bin="$build/target/conduit-target"
cli_bin="$build/tools/conduit-cli"
for bin in "$target_bin" "$cli_bin"; do
  [ -x "$bin" ] || { echo "demo: $bin is missing; run make build first" >&2; exit 1; }
done

root=$(mktemp -d "${TMPDIR:-/tmp}/conduit-demo-XXXXXX")
out="$root.target-output"
target_pid=
cleanup() {
  if [ -n "$target_pid" ] && kill -0 "$target_pid" 2>/dev/null; then kill -TERM "$target_pid"; wait "$target_pid" || true; fi
  rm -rf "$root" "$out"
}
trap cleanup EXIT

echo "== starting conduit-target in $root (port $port)"
"$target_bin" --root "$root" --port "$port" >"$out" 2>&1 &
target_pid=$!
for _ in $(seq 1 200); do
  grep -q 'conduit-target: listening' "$out" && break
  kill -0 "$target_pid" 2>/dev/null || { cat "$out"; echo "demo: the target did not start" >&2; exit 1; }
  sleep 0.05
done
grep 'conduit-target: listening' "$out" || { cat "$out"; echo "demo: the target did not start listening" >&2; exit 1; }

run() {
  echo
  echo "\$ conduit-cli $*"
  set +e
  "$cli_bin" --port "$port" "$@"
  local code=$?
  set -e
  echo "(exit $code)"
}

run ping
run freq
run --json freq
run sink 3
run sink 7
# An envelope with function code 12, which the service does not know:
# status 0, function 12, paramCount 0, empty params, empty result.
run raw "00000000 0c000000 00000000 00000000 00000000"
run providers
run --json providers --filter storage
run manifests Conduit-Demo-Audit Not-Registered

echo
echo "== a session with the plain file sink, the target's Conduit-Demo-Events provider enabled by GUID"
demo_guid='{3C8EB5F2-4F6C-428B-AED5-59D699BADD57}'
run stop "Demo Session"                       # stopping before any start: an error answer
run enable-guid "Demo Session" "$demo_guid"   # enabling before a start: an error answer
run sink 1
run start "Demo Session"
run enable-guid "Demo Session" "$demo_guid:5:0xFF:0"
sleep 0.3
run disable-guid "Demo Session" "$demo_guid"
run stop "Demo Session"
run stop "Demo Session"                       # stopping twice: the platform's refusal
echo
echo "== what conduit-target printed about its demo providers"
grep 'demo provider' "$out" || true

echo
echo "== stopping conduit-target"
kill -INT "$target_pid"
wait "$target_pid"
code=$?
target_pid=
echo "(conduit-target exit $code)"
echo
echo "== the service's log (errors and warnings)"
grep -E '^(ERROR|WARNING|Error)' "$root/ProgramData/Conduit_logs.txt" | sort | uniq -c || true
