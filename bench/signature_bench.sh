#!/usr/bin/env bash
# What checking the signature adds to applying an update.
#
#   bench/signature_bench.sh [BUILD_DIR]   (default: build; needs bin/make-update,
#                                           bin/updater and the minisign command)
#
# Builds a complete update of a 50 MB tree (random bytes, so the archive is
# about 50 MB too), signed with make-update --sign by a key made with
# minisign -G -W, and applies it into an empty folder with two copies of the
# updater: one without a key beside it, one with the public key installed
# (which checks the prehashed signature over the whole archive first). The
# check alone is timed too: the keyed updater on the same archive whose
# trusted comment was changed hashes the whole archive, verifies the
# signature, and stops at the global signature with status 9: on a shared
# machine this is the steady figure, the two whole runs differ by noise.
# Interleaved, median of 7 runs each, wall-clock and CPU time (user +
# system: steadier on a shared machine); the target is a ratio of at most 1.10. Prints a Markdown table and saves it under bench/results/
# (git-ignored). Run it on a quiet machine.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
. "$here/stats.sh"
build=$(cd "${1:-$repo/build}" && pwd)
results=$here/results
runs=7
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
umask 022

for tool in minisign bc "$build/bin/make-update" "$build/bin/updater"; do
  command -v "$tool" >/dev/null || { echo "signature_bench: missing $tool" >&2; exit 1; }
done

mkdir -p "$work/tree/data" "$work/plain" "$work/keyed"
for i in 0 1 2 3 4; do head -c 10000000 /dev/urandom > "$work/tree/data/part$i.bin"; done
minisign -G -W -p "$work/key.pub" -s "$work/key.key" >/dev/null
"$build/bin/make-update" --to "$work/tree" --output "$work/update" --sign "$work/key.key" >/dev/null
cp "$build/bin/updater" "$work/plain/updater"
cp "$build/bin/updater" "$work/keyed/updater"
cp "$work/key.pub" "$work/keyed/updater.pub"
size=$(stat -c %s "$work/update/update.zar")
mkdir "$work/refused"
ln "$work/update/update.zar" "$work/refused/update.zar"
sed '3s/$/ (changed)/' "$work/update/update.zar.minisig" > "$work/refused/update.zar.minisig"

# apply BIN_DIR: applies the update into an empty folder; prints the wall
# clock and the CPU seconds.
TIMEFORMAT='%R %U %S'
apply() {
  rm -rf "$work/install" && mkdir "$work/install"
  sync
  local wall user sys
  read -r wall user sys < <({ time (cd "$work/install" && env -u DISPLAY -u WAYLAND_DISPLAY "$1/updater" "$work/update" 0); } 2>&1)
  [ "$(cat "$work/update/update.status")" = succeeded ] || { echo "signature_bench: the update failed with $1" >&2; exit 1; }
  echo "$wall $(echo "$user + $sys" | bc -l)"
}

plain=() keyed=() plain_cpu=() keyed_cpu=()
apply "$work/plain" >/dev/null  # warm the page cache
for ((i = 0; i < runs; i++)); do
  read -r wall cpu < <(apply "$work/plain"); plain+=("$wall") plain_cpu+=("$cpu")
  read -r wall cpu < <(apply "$work/keyed"); keyed+=("$wall") keyed_cpu+=("$cpu")
done
check=()
for ((i = 0; i < runs; i++)); do
  read -r wall user sys < <({ time (cd "$work/install" && "$work/keyed/updater" "$work/refused" 0); } 2>&1)
  [ "$(cat "$work/refused/update.status")" = "failed: 9" ] || { echo "signature_bench: the changed comment was not refused" >&2; exit 1; }
  check+=("$wall")
done
check_med=$(median "${check[@]}")
plain_med=$(median "${plain[@]}") keyed_med=$(median "${keyed[@]}")
plain_cpu_med=$(median "${plain_cpu[@]}") keyed_cpu_med=$(median "${keyed_cpu[@]}")
ratio_wall=$(ratio "$keyed_med" "$plain_med")
ratio_cpu=$(ratio "$keyed_cpu_med" "$plain_cpu_med")

mkdir -p "$results"
out="$results/signature-$(date +%Y%m%d-%H%M%S).md"
{
  echo "Applying a complete update of $size bytes ($(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//');"
  echo "medians of $runs wall-clock runs, interleaved; $(date -u +%Y-%m-%d); load average $(cut -d' ' -f1 /proc/loadavg))"
  echo
  echo "| measure | wall clock | CPU (user + system) | target | met (wall / CPU) |"
  echo "|---|---|---|---|---|"
  echo "| updater, no key installed | $plain_med s | $plain_cpu_med s | | |"
  echo "| updater, key installed (signature checked) | $keyed_med s | $keyed_cpu_med s | | |"
  echo "| the check alone (keyed updater refusing a changed trusted comment) | $check_med s | | | |"
  echo "| with key / without | $ratio_wall | $ratio_cpu | ≤ 1.10 | $(verdict "$ratio_wall" 1.10) / $(verdict "$ratio_cpu" 1.10) |"
  echo "| the check alone / applying without a key | $(ratio "$check_med" "$plain_med") | | ≤ 0.10 | $(verdict "$(ratio "$check_med" "$plain_med")" 0.10) |"
} | tee "$out"
echo "saved to $out" >&2
