#!/usr/bin/env bash
# Idle CPU of the running full-screen app: starts it on the volume list in a
# tmux pane of 120x40, waits until it has drawn, then reads its user and
# system time from /proc before and after SECONDS seconds of no input.
#
#   bench/idle_cpu.sh [SECONDS] [BINARY]     (defaults: 5, build/app/bramwex)
#
# Exits 1 when it used 0.5% of one core or more.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${1:-5}
binary=${2:-$top/build/app/bramwex}
socket=bramwex-idle-$$
tmux=(tmux -L "$socket")
cache=$(mktemp -d)
trap '"${tmux[@]}" kill-server 2>/dev/null || true; rm -rf "$cache"' EXIT

TERM=xterm-256color "${tmux[@]}" new-session -d -x 120 -y 40 \
  "BRAMWEX_CACHE_DIR=$(printf '%q' "$cache") exec $(printf '%q' "$binary")"
for _ in $(seq 100); do
  if "${tmux[@]}" capture-pane -p | grep -q '^volumes'; then break; fi
  sleep 0.05
done
pid=$("${tmux[@]}" display -p '#{pane_pid}')
[[ $(cat "/proc/$pid/comm") == bramwex ]] || { echo "idle_cpu: the app did not start" >&2; exit 2; }

# Fields 14 and 15 of /proc/PID/stat (after the parenthesised name): user and
# system time in clock ticks.
ticks() { sed 's/.*) //' "/proc/$pid/stat" | awk '{ print $12 + $13 }'; }
before=$(ticks)
sleep "$seconds"
after=$(ticks)
hz=$(getconf CLK_TCK)
awk -v t=$((after - before)) -v hz="$hz" -v s="$seconds" 'BEGIN {
  share = 100 * t / hz / s
  printf "idle CPU over %d s: %d ticks of 1/%d s, %.2f%% of one core (limit 0.5%%)\n", s, t, hz, share
  exit share >= 0.5
}'
