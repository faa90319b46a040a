#!/usr/bin/env bash
# What syncing to disk costs the updater.
#
#   bench/sync_bench.sh [BUILD_DIR]   (default: build; needs bin/make-update and
#                                      bin/updater, and cmake to build a second one)
#
# Builds a second updater with syncing turned off (the benchmark-only CMake
# option UPDATER_NO_SYNC, in BUILD_DIR-nosync), makes an update that replaces
# 2,000 small files (0.5 to 8 KB of text, in 40 folders) and 4 large ones
# (4 MB each, half random, half repeated), and applies it over a fresh copy of
# the old tree with each updater, interleaved, median of 7 runs each (RUNS=N
# for another count). The copy is synced before each run, so that a sync of
# the run pays only for the run's own writes. Work happens under $TMPDIR
# (default /var/tmp), which must be on the disk to measure, not in memory.
# Also counts the syncs of one run with strace. Prints a Markdown table and
# saves it under bench/results/ (git-ignored). Target: the synced run takes at
# most 1.3 x the unsynced one. Run it on a quiet machine.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
. "$here/stats.sh"
build=$(cd "${1:-$repo/build}" && pwd)
nosync=$build-nosync
results=$here/results
runs=${RUNS:-7}
work=$(mktemp -d -p "${TMPDIR:-/var/tmp}" sync-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT
umask 022

for tool in cmake python3 bc "$build/bin/make-update" "$build/bin/updater"; do
  command -v "$tool" >/dev/null || { echo "sync_bench: missing $tool" >&2; exit 1; }
done
if [ "$(stat -f -c %T "$work")" = tmpfs ]; then
  echo "sync_bench: $work is in memory; set TMPDIR to a folder on the disk to measure" >&2
  exit 1
fi

echo "== building the unsynced updater in $nosync" >&2
cmake -S "$repo" -B "$nosync" -DCMAKE_BUILD_TYPE=Release -DUPDATER_NO_SYNC=ON -DUPDATER_TESTS=OFF >/dev/null
cmake --build "$nosync" -j 2 --target updater >/dev/null

echo "== making the trees and the update" >&2
python3 - "$work" <<'EOF'
import os, random, sys
work = sys.argv[1]
words = [bytes(random.Random(i).choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(1 + i % 9)) for i in range(4000)]
for version in ("old", "new"):
    rng = random.Random(version)
    for i in range(2000):
        path = os.path.join(work, version, "lib%02d" % (i % 40), "file%04d.txt" % i)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(b" ".join(rng.choice(words) for _ in range(rng.randint(80, 1300))))
    for i in range(4):
        with open(os.path.join(work, version, "big%d.bin" % i), "wb") as f:
            f.write(rng.randbytes(2 << 20) + bytes(rng.randbytes(64)) * (1 << 15))
EOF
"$build/bin/make-update" --from "$work/old" --to "$work/new" --output "$work/update" -q >/dev/null
size=$(stat -c %s "$work/update/update.zar")
# Each updater in a folder of its own, without the window module beside it.
mkdir "$work/synced" "$work/unsynced"
cp "$build/bin/updater" "$work/synced/updater"
cp "$nosync/bin/updater" "$work/unsynced/updater"


# apply BIN_DIR: applies the update over a fresh, synced copy of the old tree;
# prints the wall-clock and the CPU seconds.
TIMEFORMAT='%R %U %S'
apply() {
  rm -rf "$work/install" && cp -a "$work/old" "$work/install"
  sync
  local wall user sys
  read -r wall user sys < <({ time (cd "$work/install" && env -u DISPLAY -u WAYLAND_DISPLAY "$1/updater" "$work/update" 0); } 2>&1)
  [ "$(cat "$work/update/update.status")" = succeeded ] || { echo "sync_bench: the update failed with $1" >&2; exit 1; }
  echo "$wall $(echo "$user + $sys" | bc -l)"
}

syncs=?
if command -v strace >/dev/null; then
  rm -rf "$work/install" && cp -a "$work/old" "$work/install"
  syncs=$(cd "$work/install" && strace -f -qq -c -e trace=fsync,fdatasync,syncfs,sync -o "$work/syncs" \
    "$work/synced/updater" "$work/update" 0 && awk '$NF ~ /^(fsync|fdatasync|syncfs|sync)$/ { n += $4 } END { print n + 0 }' "$work/syncs")
fi

echo "== $runs runs each, interleaved" >&2
synced=() unsynced=() synced_cpu=() unsynced_cpu=()
apply "$work/unsynced" >/dev/null  # warm the page cache
for ((i = 0; i < runs; i++)); do
  read -r wall cpu < <(apply "$work/synced"); synced+=("$wall") synced_cpu+=("$cpu")
  read -r wall cpu < <(apply "$work/unsynced"); unsynced+=("$wall") unsynced_cpu+=("$cpu")
done
s_med=$(median "${synced[@]}") u_med=$(median "${unsynced[@]}")
r=$(ratio "$s_med" "$u_med")
met=$([ "$(echo "$r <= 1.3" | bc -l)" = 1 ] && echo yes || echo "**no**")

mkdir -p "$results"
out="$results/sync-$(date +%Y%m%d-%H%M%S).md"
{
  echo "Applying an update of 2,000 small files and 4 large ones ($size bytes) over the old tree;"
  echo "$(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), load average $(cut -d' ' -f1 /proc/loadavg);"
  echo "medians of $runs wall-clock runs each, interleaved; $(date -u +%Y-%m-%d). Syncs of one run: $syncs."
  echo
  echo "| updater | wall clock | CPU (user + system) |"
  echo "|---|---|---|"
  echo "| synced | $s_med s | $(median "${synced_cpu[@]}") s |"
  echo "| not synced (UPDATER_NO_SYNC) | $u_med s | $(median "${unsynced_cpu[@]}") s |"
  echo "| synced / not synced | $r (target ≤ 1.3: $met) | |"
  echo
  echo "The disk:"
  echo
  echo '```'
  df -T "$work" | sed 's/[[:space:]]*$//'
  command -v lsblk >/dev/null && lsblk -o NAME,TYPE,SIZE,ROTA,FSTYPE,MOUNTPOINTS 2>/dev/null | sed 's/[[:space:]]*$//'
  echo '```'
} | tee "$out"
echo "saved to $out" >&2
