#!/usr/bin/env bash
# What the scheduler service costs while it waits: CPU time and resident
# memory of `quorvel daemon` (release build) with 20 configured backups, over
# a measured minute after a warm-up.
#
#   bench/idle.sh [SECONDS]        (default 60)
#
# The backups: 15 to local folders on hourly or daily schedules (one runs at
# start-up), 5 to network destinations on 127.0.0.1 whose servers are down,
# so their watchers keep probing - the busiest idle state there is. The
# service runs on a private session bus; the system bus is left out.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
binary=$("$root/scripts/build" release --target quorvel quorvel-ditto quorvel-mkbom)/quorvel
work=$(mktemp -d /tmp/quorvel-idle-bench.XXXXXX)
cleanup() {
  [[ -n ${daemon:-} ]] && kill "$daemon" 2>/dev/null || true
  [[ -f $work/bus.pid ]] && kill "$(cat "$work/bus.pid")" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

export QUORVEL_HOME=$work/home QUORVEL_KEYCHAIN=file DBUS_SYSTEM_BUS_ADDRESS=unix:path=$work/no-system-bus
export DBUS_SESSION_BUS_ADDRESS=$(dbus-daemon --session --fork --print-address=1 --print-pid=3 \
  3>"$work/bus.pid" --address=unix:path="$work/bus")
mkdir -p "$work/source"
for i in $(seq 1 200); do echo "file $i" >"$work/source/f$i.txt"; done

q() { "$binary" "$@" >/dev/null; }
for i in $(seq 1 15); do
  q create "local-$i" "$work/source" "$work/dest-$i" --no-encryption
  if (( i % 2 )); then q set "local-$i" schedule.interval 1h; else q set "local-$i" schedule.daily 02:30; fi
done
q set local-1 schedule.on-launch on
for i in $(seq 1 5); do
  port=$((20000 + i))
  QV_PW=x q create "remote-$i" "$work/source" "http://bench@127.0.0.1:$port/dav/backups" --no-encryption \
    --server-password-env QV_PW
  q set "remote-$i" schedule.on-connection on
  q set "remote-$i" schedule.interval 6h
done

"$binary" daemon 2>"$work/daemon.log" &
daemon=$!
sleep 15  # start-up and the launch backup
ticks() { awk '{print $14 + $15}' "/proc/$daemon/stat"; }
hz=$(getconf CLK_TCK)
before=$(ticks)
sleep "$seconds"
after=$(ticks)
rss=$(awk '/VmRSS/ {print $2}' "/proc/$daemon/status")
hwm=$(awk '/VmHWM/ {print $2}' "/proc/$daemon/status")
threads=$(awk '/Threads/ {print $2}' "/proc/$daemon/status")
backups=$("$binary" status | tail -n +3 | wc -l)
cpu=$(awk -v t=$((after - before)) -v hz="$hz" -v s="$seconds" 'BEGIN {printf "%.3f", 100 * t / hz / s}')
printf 'backups  %s\nseconds  %s\ncpu      %s %%\nrss      %.1f MiB\npeak rss %.1f MiB\nthreads  %s\n' \
  "$backups" "$seconds" "$cpu" "$(echo "$rss / 1024" | bc -l)" "$(echo "$hwm / 1024" | bc -l)" "$threads"
