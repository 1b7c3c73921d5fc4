#!/usr/bin/env bash
# The demo: Conduit on a fresh virtual target, driven by conduit-cli as a host tool would.
#   target/demo.sh [BUILD_DIR]      (make demo runs it on build/default)
set -euo pipefail
build=${1:-build/default}
# A port of its own, so that the demo never drives another target that listens on the
# service's default 20950: the first of a few in the service's range that nothing answers on.
free_port() {
  local p
  for p in $(seq 20951 20999); do
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then echo "$p"; return; fi
  done
  echo 20950
}
port=${PORT:-$(free_port)}
target_bin="$build/target/conduit-target"
cli_bin="$build/tools/conduit-cli"
stpdump_bin="$build/tools/stpdump/stpdump"
for bin in "$target_bin" "$cli_bin" "$stpdump_bin"; do
  [ -x "$bin" ] || { echo "demo: $bin is missing; run make build first" >&2; exit 1; }
done

root=$(mktemp -d "${TMPDIR:-/tmp}/conduit-demo-XXXXXX")
out="$root.target-output"
script="$root.actions"
actions="$root.stdin"   # target-side actions while it runs (the machine's sleep)
target_pid=
cleanup() {
  exec 3>&- 2>/dev/null || true
  if [ -n "$target_pid" ] && kill -0 "$target_pid" 2>/dev/null; then kill -TERM "$target_pid"; wait "$target_pid" || true; fi
  rm -rf "$root" "$out" "$script" "$actions"
}
trap cleanup EXIT

# Target-side actions: TXR's kernel debug-output capture switched on through its I/O
# controls, a filter for one component, and a few kernel debug prints, which reach the
# Tessera on the printing processor's channel of master 257.
cat >"$script" <<'ACTIONS'
debug-output on
debug-filter on 77:0xFFFFFFFF
dbgprint 77 0 demo: an error from component 77
dbgprint 77 1 demo: a warning from component 77
dbgprint 77 3 demo: some information from component 77
dbgprint 78 3 demo: information from component 78, filtered out
pool
ACTIONS

echo "== starting conduit-target in $root (port $port)"
mkfifo "$actions"
"$target_bin" --root "$root" --port "$port" --script "$script" <"$actions" >"$out" 2>&1 &
target_pid=$!
exec 3>"$actions"
for _ in $(seq 1 200); do
  grep -q 'conduit-target: listening' "$out" && break
  kill -0 "$target_pid" 2>/dev/null || { cat "$out"; echo "demo: the target did not start" >&2; exit 1; }
  sleep 0.05
done
grep 'conduit-target: listening' "$out" || { cat "$out"; echo "demo: the target did not start listening" >&2; exit 1; }

run() {
  echo
  # Quoted as a shell would need it, so that a line can be pasted.
  printf '$ conduit-cli'; printf ' %q' "$@"; printf '\n'
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
echo "== session requests out of order: the service's error answers"
run stop "Demo Session"                                             # no session started
run enable-guid "Demo Session" "{3C8EB5F2-4F6C-428B-AED5-59D699BADD57}"  # enabling before a start

# The target's demo providers: two that the service lists (enabled by name) and four that
# only their GUIDs name (WPP, TraceLogging and the two raw providers).
providers=(Conduit-Demo-Events Conduit-Demo-Mof
  "{B73936B8-00D5-4C4F-ACFC-65506CE7AFBF}" "{52356A46-2DE7-42FD-9C46-C5373C1928AB}"
  "{4B32ADDB-AE0F-4395-804B-0C1AAD9E6756}" "{50535F19-6E34-4032-8BE4-768BA2EBA247}")

# Shows the first events of a capture and its statistics; fails the demo when it holds no
# decoded event.
show_capture() {
  local file=$1
  [ -s "$file" ] || { echo "demo: no trace file at $file" >&2; exit 1; }
  echo
  echo "\$ stpdump $(printf %q "$(basename "$file")") | head -n 12"
  ("$stpdump_bin" "$file" 2>/dev/null || true) | head -n 12
  echo
  echo "\$ stpdump --stats $(printf %q "$(basename "$file")")"
  "$stpdump_bin" --stats "$file"
  local events
  events=$("$stpdump_bin" --stats "$file" | sed -n 's/^etw: //p')
  [ "${events:-0}" -gt 0 ] || { echo "demo: the capture holds no ETW event" >&2; exit 1; }
}

echo
echo "== a capture into the MIPI STP file sink, read back with stpdump"
run record --sink stp --duration 3 --level 255 --session "Demo Session" "${providers[@]}"
stp_file=$(ls -t "$root"/ProgramData/ETW-Traces/ETWTRACE_*.bin 2>/dev/null | head -n 1 || true)
show_capture "$stp_file"

echo
echo "== the same capture into the plain file sink"
run record --sink file --duration 2 --level 255 --session "Demo Session" "${providers[@]}"
show_capture "$root/Windows/System32/Demo Session.bin"

echo
echo "== the same capture through the hardware: TXR writes each record into the Tessera's ETW"
echo "   channel, and its own provider Orvix-Tessera (all keywords) rides along. At level 5 the"
echo "   driver traces its own write path into the channel it writes, two events per write, so"
echo "   its entry and exit events fill most of the capture"
echo "   The record runs across a sleep of the machine (S3): TXR parks the Tessera on the way"
echo "   down and restores it on the way up, and the redirect goes on"
echo
echo "\$ conduit-cli record --sink hw --duration 3 ... &   and on the target, after 1 s: sleep 500"
"$cli_bin" --port "$port" record --sink hw --duration 3 --level 255 --session "Demo Session" "${providers[@]}" \
  "Orvix-Tessera:5:0xFFFFFFFF" >"$root.record" 2>&1 &
record_pid=$!
sleep 1
echo "sleep 500" >&3
set +e
wait "$record_pid"
record_code=$?
set -e
cat "$root.record"; rm -f "$root.record"
echo "(exit $record_code)"
for _ in $(seq 1 100); do grep -q '^conduit-target: sleep' "$out" && break; sleep 0.05; done
grep '^conduit-target: sleep' "$out" || { echo "demo: the target did not sleep" >&2; exit 1; }
grep -q '^conduit-target: sleep (S3): TXR went to D3' "$out" || { echo "demo: the sleep failed" >&2; exit 1; }

echo
echo "== what conduit-target printed about its demo providers"
grep 'demo provider' "$out" | sort | uniq -c || true

echo
echo "== stopping conduit-target"
kill -INT "$target_pid"
wait "$target_pid"
code=$?
target_pid=
echo "(conduit-target exit $code)"
grep -E '^conduit-target: (TXR|Tessera|the Tessera|debug-)' "$out" || true

echo
echo "== the hardware capture, as the host recorded it from the Tessera's trace port"
hw_file=$(sed -n 's/^conduit-target: Tessera capture //p' "$out" | tail -n 1)
show_capture "$hw_file"
echo
echo "\$ stpdump --provider {C9CB79C1-31AD-4193-BD19-4D2A9018904C} $(basename "$hw_file") | head -n 6"
("$stpdump_bin" --provider "{C9CB79C1-31AD-4193-BD19-4D2A9018904C}" "$hw_file" 2>/dev/null || true) | head -n 6
echo
echo "\$ stpdump --master 257 $(basename "$hw_file")    # the kernel debug prints"
"$stpdump_bin" --master 257 "$hw_file" 2>/dev/null || true
strings=$("$stpdump_bin" --master 257 "$hw_file" 2>/dev/null | grep -c STRING || true)
[ "${strings:-0}" -eq 3 ] || { echo "demo: expected the 3 unfiltered kernel debug prints in the capture" >&2; exit 1; }
# The sleep in the capture: TXR's D0 exit (event 109) and D0 entry (108), with the demo
# providers' events before the one and after the other.
echo
echo "\$ stpdump $(basename "$hw_file") | grep -E 'id=10[789] |id=110 '    # TXR's D0 exit and entry"
dump=$("$stpdump_bin" "$hw_file" 2>/dev/null || true)
echo "$dump" | grep -E 'C9CB79C1-31AD-4193-BD19-4D2A9018904C\} id=(107|108|109|110) ' | cut -c1-160 || true
sleep_line=$(echo "$dump" | grep -n 'C9CB79C1-31AD-4193-BD19-4D2A9018904C} id=109 ' | head -n 1 | cut -d: -f1)
wake_line=$(echo "$dump" | grep -n 'C9CB79C1-31AD-4193-BD19-4D2A9018904C} id=108 ' | tail -n 1 | cut -d: -f1)
[ -n "$sleep_line" ] && [ -n "$wake_line" ] || { echo "demo: no D0 exit and entry of TXR in the capture" >&2; exit 1; }
before=$(echo "$dump" | head -n "$((sleep_line - 1))" | grep ' ETW ' | grep -vc 'C9CB79C1-31AD-4193-BD19-4D2A9018904C' || true)
after=$(echo "$dump" | tail -n "+$((wake_line + 1))" | grep ' ETW ' | grep -vc 'C9CB79C1-31AD-4193-BD19-4D2A9018904C' || true)
echo "demo events decoded before the sleep: $before, after the wake: $after"
[ "${before:-0}" -gt 0 ] && [ "${after:-0}" -gt 0 ] || { echo "demo: the redirect did not go on across the sleep" >&2; exit 1; }
txr_events=$("$stpdump_bin" --provider "{C9CB79C1-31AD-4193-BD19-4D2A9018904C}" "$hw_file" 2>/dev/null | grep -c ETW || true)
[ "${txr_events:-0}" -gt 0 ] || { echo "demo: the hardware capture holds no event of TXR's provider" >&2; exit 1; }
echo
echo "== the service's log (errors and warnings)"
grep -E '^(ERROR|WARNING|Error)' "$root/ProgramData/Conduit_logs.txt" | sort | uniq -c || true
