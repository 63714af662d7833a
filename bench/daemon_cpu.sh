#!/usr/bin/env bash
# The daemon's CPU per event, black box: N events through `ledgerwick log -` into
# the text log and into the local SQLite store, from the first call to the last
# record written, read from /proc/PID/stat. Usage: daemon_cpu.sh BUILD [N]
set -euo pipefail
build=${1:-build}
count=${2:-20000}
bin=$(cd "$build/bin" && pwd)
tick=$(getconf CLK_TCK)

measure() {
  local target=$1 storage=$2
  local dir
  dir=$(mktemp -d "${TMPDIR:-/tmp}/lwcpu.XXXXXX")
  {
    echo "[General]"
    echo "StorageType=$storage"
    echo "TextPath=$dir"
    echo "[Attachments]"
    echo "LocalDSO=Recordkit.SqliteDSO"
    echo "LocalDTO=Recordkit.SqliteDTO"
    echo "LocalConnect=DATABASE=$dir/ledgwk.db"
  } > "$dir/Ledgwk.ini"
  "$bin/ledgerwickd" --config-dir "$dir" --home "$dir" --socket "$dir/d.sock" 2> "$dir/daemon.err" &
  local pid=$!
  for _ in $(seq 1 500); do grep -q "ready on" "$dir/daemon.err" 2>/dev/null && break; sleep 0.01; done
  export LEDGERWICK_SOCKET=$dir/d.sock LEDGERWICK_NO_AUTOSTART=1
  # One Application first, so that start-up is not counted.
  "$bin/ledgerwick" get Name > /dev/null
  local before
  before=$(awk '{print $14 + $15}' "/proc/$pid/stat")
  "$bin/ledgerwick" log - < "$input" > /dev/null
  # Wait until every event is written.
  for _ in $(seq 1 3000); do
    local written
    written=$("$bin/ledgerwick" status --json | sed -E 's/.*"localStore":([0-9]+),"textLog":([0-9]+).*/\1 \2/' | awk '{print $1 + $2}')
    [ "${written:-0}" -ge "$count" ] && break
    sleep 0.01
  done
  local after
  after=$(awk '{print $14 + $15}' "/proc/$pid/stat")
  kill -TERM "$pid"; wait "$pid" || true
  awk -v t="$target" -v a="$after" -v b="$before" -v n="$count" -v hz="$tick" \
    'BEGIN { printf "daemon-cpu target=%s events=%d us_per_event=%.1f\n", t, n, (a - b) / hz * 1e6 / n }'
  rm -rf "$dir"
}

input=$(mktemp "${TMPDIR:-/tmp}/lwcpu-events.XXXXXX")
trap 'rm -f "$input"' EXIT
for i in $(seq 1 "$count"); do
  echo "{\"AppName\":\"Payroll\",\"AppVersion\":\"10.0.3\",\"Description\":\"Could not reach the print server, try $i\",\"Severity\":2,\"EventCode\":4711,\"UserName\":\"ann\",\"SubName\":\"PrintBatch\",\"ModuleName\":\"modPrint\"}"
done > "$input"

measure text 0
measure sqlite 1
