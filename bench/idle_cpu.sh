#!/usr/bin/env bash
# Idle CPU of the running full-screen app: starts it in a tmux pane of
# 120x40, waits until it has drawn, then reads its user and system time from
# /proc before and after SECONDS seconds of no input.
#
#   bench/idle_cpu.sh [SECONDS] [BINARY] [PATH]   (defaults: 5, build/app/bramwex)
#   FILES=200000 bench/idle_cpu.sh [SECONDS] [BINARY]
#
# Without PATH the app shows the volume list; it must use under 0.5% of one
# core. With PATH it browses PATH, following it once the scan is ready, with
# the cache folder BRAMWEX_CACHE_DIR when set (a saved scan there is shown
# at once); it must use under 2% of one core. Its resident memory is printed
# as well. With FILES and no PATH it browses a scratch folder whose one
# folder holds FILES empty files, shown in the preview column: the shown
# folders are followed, yet it must use under 0.5% of one core; then it
# writes a file into that folder and prints how long the title took to show
# it. Exits 1 when the limit is missed.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${1:-5}
binary=${2:-$top/build/app/bramwex}
path=${3:-}
files=${FILES:-}
socket=bramwex-idle-$$
tmux=(tmux -L "$socket")
scratch=$(mktemp -d)
cache=${BRAMWEX_CACHE_DIR:-$scratch}
trap '"${tmux[@]}" kill-server 2>/dev/null || true; rm -rf "$scratch"' EXIT

command="BRAMWEX_CACHE_DIR=$(printf '%q' "$cache") exec $(printf '%q' "$binary")"
limit=0.5
big=
if [[ -z $path && -n $files ]]; then
  path=$scratch/tree
  big=$path/big
  mkdir -p "$big"
  python3 -c 'import os, sys
for k in range(int(sys.argv[2])):
    os.close(os.open(f"{sys.argv[1]}/f{k:07d}", os.O_CREAT | os.O_WRONLY, 0o644))' "$big" "$files"
  command+=" $(printf '%q' "$path")"
elif [[ -n $path ]]; then
  command+=" $(printf '%q' "$path")"
  limit=2
fi
TERM=xterm-256color "${tmux[@]}" new-session -d -x 120 -y 40 "$command"
# Drawn: the volume list, or a browser whose title no longer reports a scan
# or a saved scan, so the ready tree is followed.
ready() {
  local screen
  screen=$("${tmux[@]}" capture-pane -p)
  if [[ -z $path ]]; then
    grep -q '^volumes' <<<"$screen"
  else
    local title
    title=$(head -n 1 <<<"$screen")
    [[ -n $title && $title != *scanning* && $title != *"showing the scan saved"* ]]
  fi
}
for _ in $(seq 1200); do
  if ready; then break; fi
  sleep 0.05
done
pid=$("${tmux[@]}" display -p '#{pane_pid}')
[[ $(cat "/proc/$pid/comm") == bramwex ]] || { echo "idle_cpu: the app did not start" >&2; exit 2; }
ready || { echo "idle_cpu: the app did not get ready within 60 s" >&2; exit 2; }
# What is left of the scan's work settles first.
[[ -z $path ]] || sleep 2

# Fields 14 and 15 of /proc/PID/stat (after the parenthesised name): user and
# system time in clock ticks.
ticks() { sed 's/.*) //' "/proc/$pid/stat" | awk '{ print $12 + $13 }'; }
before=$(ticks)
sleep "$seconds"
after=$(ticks)
hz=$(getconf CLK_TCK)
if [[ -n $path ]]; then
  echo "title: $("${tmux[@]}" capture-pane -p | head -n 1)"
  awk '/^VmRSS|^VmHWM/ { printf "%s %.1f MiB  ", $1, $2 / 1024 } END { print "" }' "/proc/$pid/status"
fi
if [[ -n $big ]]; then
  # A change in the shown folder: how long until the title's total (before
  # the " | " of the scan's age) shows it.
  total() { local title; title=$("${tmux[@]}" capture-pane -p | head -n 1); echo "${title%%|*}"; }
  before_total=$(total)
  start=$(date +%s%N)
  head -c 1048576 /dev/zero >"$big/written"
  shown=
  for _ in $(seq 500); do
    if [[ $(total) != "$before_total" ]]; then
      shown=$((($(date +%s%N) - start) / 1000000))
      break
    fi
    sleep 0.01
  done
  echo "a file written into the shown folder appeared after ${shown:-more than 5000} ms"
fi
awk -v t=$((after - before)) -v hz="$hz" -v s="$seconds" -v limit="$limit" 'BEGIN {
  share = 100 * t / hz / s
  printf "idle CPU over %d s: %d ticks of 1/%d s, %.2f%% of one core (limit %s%%)\n", s, t, hz, share, limit
  exit share >= limit
}'
