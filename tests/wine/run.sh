#!/usr/bin/env bash
# Conduit.exe as a Windows service under Wine, driven over TCP by the host's conduit-cli:
#   tests/wine/run.sh [CONDUIT_EXE [CONDUIT_CLI]]      (make wine-test)
# A fresh Wine prefix in a temporary folder; the executable with its Conduit.exe.config is
# installed with -install, started by Wine's service control manager (sc start), asked for
# what Wine can answer, stopped, and removed with -remove. Every check prints one line; the
# run ends with "N passed, M failed" and exits non-zero when any check failed.
#
# What Wine 8 cannot run is left out: its tdh.dll has no TdhEnumerateProviders (Wine ends
# the process when it is called), so nothing here lists providers or looks one up by name;
# its ETW session calls are mostly stubs, so the session requests are checked for an answer,
# a log line and a service that stays up, whatever Wine made of them.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
exe=$(realpath -m "${1:-$root/build/windows/Conduit.exe}")
cli=$(realpath -m "${2:-$root/build/default/tools/conduit-cli}")
cd "$root"
service="Orvix(R) Trace Redirect Service"
session="Conduit Wine Test"
guid="{3C8EB5F2-4F6C-428B-AED5-59D699BADD57}"

[ -f "$exe" ] || { echo "wine-test: $exe is missing: run make windows" >&2; exit 1; }
wine=$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
[ -x "$wine" ] || { echo "wine-test: no wine64: run make wine-deps" >&2; exit 1; }

# A step prints its name and, when it ends, how long it took.
step_name=
step_start=0
step() {
  step_end
  step_name=$1
  step_start=$(date +%s%N)
  echo "== $step_name"
}
step_end() {
  [ -n "$step_name" ] || return 0
  local ms=$(( ($(date +%s%N) - step_start) / 1000000 ))
  printf -- "-- %s: %d.%d s\n" "$step_name" $((ms / 1000)) $((ms % 1000 / 100))
  step_name=
}

if [ ! -x "$cli" ]; then
  step "building conduit-cli"
  [ -f build/default/CMakeCache.txt ] || { make deps && cmake --preset default >/dev/null; }
  # Builds on a shared machine take turns.
  flock "${TMPDIR:-/tmp}/conduit-build.lock" cmake --build build/default --target conduit-cli -j 2
fi

passed=0
failed=0
check() {  # check DESCRIPTION COMMAND...: passes when the command succeeds
  local description=$1
  shift
  if "$@"; then
    echo "ok   $description"
    passed=$((passed + 1))
  else
    echo "FAIL $description"
    failed=$((failed + 1))
  fi
}

# The prefix, and a wineserver of its own that stays up between the wine commands (Wine's
# services live only as long as their wineserver). Both go, whatever happens.
# Wine keeps its server's socket folder under TMPDIR: that goes into the scratch folder too.
scratch=$(mktemp -d "${TMPDIR:-/tmp}/conduit-wine-XXXXXX")
export WINEPREFIX=$scratch/prefix TMPDIR=$scratch/tmp
mkdir -p "$WINEPREFIX" "$TMPDIR"
export WINEDEBUG=-all DISPLAY= WINEDLLOVERRIDES="mscoree,mshtml="
log=
cleanup() {
  local code=$?
  step_end
  if [ "$code" != 0 ] || [ "$failed" != 0 ]; then
    if [ -n "$log" ] && [ -f "$log" ]; then
      echo "== the service's log, errors and warnings:"
      grep -E '^(ERROR|WARNING|STANDARD EXCEPTION|GENERIC EXCEPTION|QLXServiceFault|Client Connection)' "$log" |
        sort | uniq -c | sort -rn | head -n 40 || true
    fi
  fi
  "$wineserver" -k 2>/dev/null || true
  "$wineserver" -w 2>/dev/null || true
  rm -rf "$scratch"
  exit "$code"
}
trap cleanup EXIT

step "a fresh Wine prefix in $WINEPREFIX"
# The first boot of a prefix goes on in the background after wineboot returns (it installs
# Wine's own services, holding the service database's lock): wait until all of it is done.
"$wine" wineboot --init >/dev/null 2>&1
"$wineserver" -w
"$wineserver" -p

# A port nobody listens on, for the registry value the service reads at its start (20950
# may be taken on a machine that runs other tests).
port=
for _ in $(seq 1 50); do
  candidate=$((21000 + RANDOM % 20000))
  if ! (exec 3<>"/dev/tcp/127.0.0.1/$candidate") 2>/dev/null; then port=$candidate; break; fi
done
[ -n "$port" ] || { echo "wine-test: no free port" >&2; exit 1; }
conduit() { "$cli" --port "$port" "$@"; }

step "installing Conduit.exe as the service"
folder="$WINEPREFIX/drive_c/Conduit"
mkdir -p "$folder"
cp "$exe" "$folder/Conduit.exe"
# Everything logged; a session start without a sink request uses the plain file sink.
cat >"$folder/Conduit.exe.config" <<'CONFIG'
<?xml version="1.0" encoding="utf-8"?>
<configuration>
  <appSettings>
    <add key="LogLevel" value="0"/>
    <add key="DefaultTraceSinkType" value="1"/>
  </appSettings>
</configuration>
CONFIG
"$wine" reg add 'HKLM\SOFTWARE\Orvix\Tessera' /v ETWConduit_PortNumber /t REG_DWORD /d "$port" /f >/dev/null
out=$("$wine" 'C:\Conduit\Conduit.exe' -install 2>&1 | tr '\n' ' ' || true)
check "-install prints 'Redirect Service Installed Successfully': $out" \
  grep -q "Redirect Service Installed Successfully" <<<"$out"
out=$("$wine" 'C:\Conduit\Conduit.exe' /I 2>&1 || true)
check "a second /I fails in CreateService with 1073 (service exists)" \
  grep -q "CreateService failed w/err 0x00000431" <<<"$out"
check "sc query names the service" "$wine" sc query "$service" >/dev/null

step "starting it through Wine's service control manager"
"$wine" sc start "$service" >/dev/null
for _ in $(seq 1 150); do
  conduit ping >/dev/null 2>&1 && break
  sleep 0.2
done
check "sc query says RUNNING" grep -q "RUNNING" <<<"$("$wine" sc query "$service")"
check "it listens on the registry's port $port and answers ping with 'conduit'" \
  test "$(conduit ping 2>&1)" = conduit
log=$(find "$WINEPREFIX/drive_c" -name Conduit_logs.txt | head -n 1)
check "its log is in the service's %ProgramData% (${log#"$WINEPREFIX/"})" test -n "$log"

step "requests that do not need ETW"
out=$(conduit freq 2>&1 || true)
check "freq answers a number ($out)" grep -qE '^[0-9]+$' <<<"$out"
check "freq --json answers function 4, status 0" grep -q '"function":4.*"status":0' <<<"$(conduit --json freq 2>&1)"
for type in 1 2 3; do
  check "sink $type is accepted" test "$(conduit sink "$type" 2>&1)" = ok
done
out=$(conduit sink 7 2>&1 && echo "(exit 0)" || echo "(exit $?)")
out=$(tr '\n' ' ' <<<"$out")
check "sink 7 is refused with status 2: $out" grep -q "status 2.*(exit 1)" <<<"$out"
# Function code 12 does not exist: status 0, function 12, paramCount 0, empty params and result.
out=$(conduit raw "00000000 0c000000 00000000 00000000 00000000" 2>&1 || true)
check "an unknown function code (12) is answered with status 1, 'No such function supported'" \
  grep -q "status 1, function 12" <<<"$out"
check "  ... and the error text" grep -q "result text: No such function supported" <<<"$out"
out=$(conduit stop "$session" 2>&1 && echo "exit 0" || echo "exit $?")
check "stop before a start is an error answer ($(head -n 1 <<<"$out"))" grep -q "exit 1" <<<"$out"
out=$(conduit enable-guid "$session" "$guid" 2>&1 && echo "exit 0" || echo "exit $?")
check "enable before a start is an error answer ($(head -n 1 <<<"$out"))" grep -q "exit 1" <<<"$out"

step "a session: Wine's ETW answers whatever it answers; the service answers, logs and stays up"
answered() {  # answered NAME ARGS...: the service answered (success or error status), not silence
  local code=0
  out=$(conduit "$@" 2>&1) || code=$?
  echo "     $1: exit $code: $(head -n 1 <<<"$out")"
  [ "$code" = 0 ] || [ "$code" = 1 ]
}
check "sink 1 (plain file) before the start" test "$(conduit sink 1 2>&1)" = ok
check "start is answered" answered start "$session"
check "enable-guid is answered" answered enable-guid "$session" "$guid:5:0xFF"
check "redirect is answered" answered redirect "$session"
check "disable-guid is answered" answered disable-guid "$session" "$guid"
check "stop is answered" answered stop "$session"
check "the service is still up (ping)" test "$(conduit ping 2>&1)" = conduit

step "admission and concurrent clients"
out=$(conduit --source 127.0.0.2 ping 2>&1 && echo "exit 0" || echo "exit $?")
check "a peer at 127.0.0.2 is refused (no answer, exit 3)" grep -q "exit 3" <<<"$out"
pids=()
for i in $(seq 1 16); do
  conduit ping >"$scratch/ping.$i" 2>&1 &
  pids+=($!)
done
all=0
for pid in "${pids[@]}"; do wait "$pid" || all=1; done
check "16 concurrent clients are each answered 'conduit'" \
  test "$all" = 0 -a "$(cat "$scratch"/ping.* | sort | uniq -c | awk '{print $1, $2}')" = "16 conduit"

step "the service's log"
has() { grep -qF -- "$1" "$log"; }
check "log: the service object was set up" has "INFO_LOG # Conduit::Conduit all init completed successfully"
check "log: the refused peer" has "Client Connection is denied from IP : 127.0.0.2"
check "log: the unknown function code" has "No suitable function 12 supported"
check "log: the bad sink type" has "Invalid sync Type [7] provided"
check "log: the session start was handled" has "INFO # Conduit::StartTraceSession # SessionName $session"
check "log: the redirect was handled" has "CEtwController::RedirectTrace"
echo "     what Wine's ETW answered (log lines of the session requests):"
grep -E "CEtwController|CEtwAdapter|Conduit::(StartTraceSession|StopTraceSession|EnableProviders|RedirectTrace)" "$log" |
  grep -vE "Entering|Exiting" | sort -u | sed 's/^/       /' || true

step "stopping and removing the service"
"$wine" sc stop "$service" >/dev/null || true
for _ in $(seq 1 100); do
  grep -q "STOPPED" <<<"$("$wine" sc query "$service" 2>&1)" && break
  sleep 0.2
done
check "sc query says STOPPED" grep -q "STOPPED" <<<"$("$wine" sc query "$service" 2>&1)"
listening() { (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; }
for _ in $(seq 1 100); do
  listening || break
  sleep 0.2
done
check "nothing answers on port $port any more" bash -c '! (exec 3<>"/dev/tcp/127.0.0.1/$0") 2>/dev/null' "$port"
out=$("$wine" 'C:\Conduit\Conduit.exe' -remove 2>&1 | tr '\n' ' ' || true)
check "-remove prints 'Redirect Service UnInstalled Successfully': $out" \
  grep -q "Redirect Service UnInstalled Successfully" <<<"$out"
check "sc query no longer knows the service" bash -c '! "$0" sc query "$1" >/dev/null 2>&1' "$wine" "$service"
step_end

echo "wine-test: $passed passed, $failed failed"
[ "$failed" = 0 ]
