#!/usr/bin/env bash
# Measures make-update and the updater on real release pairs fetched with npm.
#
#   bench/make_update_bench.sh [BUILD_DIR]   (default: build; needs bin/make-update,
#                                             bin/updater and bin/zbdiff)
#
# Fetches (npm pack, into bench/data/, git-ignored) typescript 5.4.4 and 5.4.5
# (whole unpacked trees) and @esbuild/linux-x64 0.25.4 and 0.25.5 (package/bin/esbuild
# alone, as a one-file tree). In one run it measures:
#   - the update sizes: typescript 5.4.4 -> 5.4.5 against 4 KiB; esbuild
#     against 1.05 x the bzip2 -9 size of the zbdiff patch of the same pair.
#     Each update is built with --verify (applied by the real updater to a
#     copy of the old tree and compared with the new one) and then applied
#     here once more to a copy of the old tree and compared with diff -r;
#   - building the typescript update with -j 1 and -j 2, interleaved, median
#     of 5 wall-clock times each (target: -j 2 takes <= 0.65 x);
#   - applying a complete update of typescript 5.4.5 with the updater, into an
#     empty directory and over an installed 5.4.4 (every file backed up first),
#     against bzip2 -dc of the same archive items into an empty directory
#     whose folders already exist (targets 1.15 x and 1.5 x), interleaved,
#     median of 5.
# Prints a Markdown table and saves it under bench/results/ (git-ignored).
# Run it on a quiet machine: the times are wall-clock.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
. "$here/stats.sh"
build=$(cd "${1:-$repo/build}" && pwd)
make_update=$build/bin/make-update
updater=$build/bin/updater
zbdiff=$build/bin/zbdiff
data=$here/data
results=$here/results
runs=5
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
umask 022

for tool in npm bzip2 python3 "$make_update" "$updater" "$zbdiff"; do
  command -v "$tool" >/dev/null || { echo "make_update_bench: missing $tool" >&2; exit 1; }
done

# fetch NAME VERSION: unpacks the package once into $data/NAME-VERSION/package
# (the layout patch_bench.sh uses, so the two share their downloads).
fetch() {
  local dir="$data/${1//\//-}-$2"
  dir=${dir/@/}
  if [ ! -d "$dir/package" ]; then
    mkdir -p "$dir"
    (cd "$dir" && npm pack --silent "$1@$2" >/dev/null && tar xzf ./*.tgz && rm -f ./*.tgz)
  fi
  echo "$dir/package"
}

ts_old=$(fetch typescript 5.4.4)
ts_new=$(fetch typescript 5.4.5)
esb_old=$(fetch @esbuild/linux-x64 0.25.4)
esb_new=$(fetch @esbuild/linux-x64 0.25.5)
mkdir -p "$work/esb-old" "$work/esb-new"
cp -p "$esb_old/bin/esbuild" "$work/esb-old/esbuild"
cp -p "$esb_new/bin/esbuild" "$work/esb-new/esbuild"

now() { date +%s.%N; }
elapsed() { echo "$(now) - $1" | bc -l; }

# run_updater UPDATE_DIR INSTALL_DIR: applies the update as a release would,
# without a window, and insists that it succeeded.
run_updater() {
  (cd "$2" && env -u DISPLAY -u WAYLAND_DISPLAY "$updater" "$1" 0)
  [ "$(cat "$1/update.status")" = succeeded ] || { echo "make_update_bench: update in $1 failed" >&2; exit 1; }
}

# check_applies OLD NEW UPDATE_DIR: the update turns a copy of OLD into NEW.
check_applies() {
  rm -rf "$work/check" && cp -a "$1" "$work/check"
  run_updater "$3" "$work/check"
  diff -r "$2" "$work/check" >/dev/null || { echo "make_update_bench: $3 does not give $2" >&2; exit 1; }
  if find "$work/check" -name '*.zel-backup' | grep -q .; then echo "make_update_bench: backups left" >&2; exit 1; fi
}

echo "== update sizes" >&2
"$make_update" --from "$ts_old" --to "$ts_new" --output "$work/ts" --verify >&2
check_applies "$ts_old" "$ts_new" "$work/ts"
ts_size=$(stat -c %s "$work/ts/update.zar")
"$make_update" --from "$work/esb-old" --to "$work/esb-new" --output "$work/esb" --verify >&2
check_applies "$work/esb-old" "$work/esb-new" "$work/esb"
esb_size=$(stat -c %s "$work/esb/update.zar")
"$zbdiff" "$work/esb-old/esbuild" "$work/esb-new/esbuild" "$work/esb.patch"
esb_patch=$(bzip2 -9 -c "$work/esb.patch" | wc -c)
ts_tar=$(tar -cjf - -C "$ts_new" . | wc -c)

echo "== build time, -j 1 and -j 2, $runs runs each" >&2
load_before=$(cut -d' ' -f1 /proc/loadavg)
j1=() j2=() cpu1=() cpu2=()
TIMEFORMAT='%R %U %S'
for ((i = 0; i < runs; i++)); do
  for j in 1 2; do
    rm -rf "$work/j"
    read -r wall user sys < <({ time "$make_update" --from "$ts_old" --to "$ts_new" --output "$work/j" -j "$j" \
                                   >/dev/null 2>&1; } 2>&1)
    cpu=$(echo "$user + $sys" | bc -l)
    if [ "$j" = 1 ]; then j1+=("$wall") cpu1+=("$cpu"); else j2+=("$wall") cpu2+=("$cpu"); fi
    cmp -s "$work/j/update.zar" "$work/ts/update.zar" || { echo "make_update_bench: -j $j gave other bytes" >&2; exit 1; }
  done
done
j1_med=$(median "${j1[@]}")
j2_med=$(median "${j2[@]}")
cpu1_med=$(median "${cpu1[@]}")
cpu2_med=$(median "${cpu2[@]}")

echo "== applying a complete update of typescript $runs times each way" >&2
"$make_update" --to "$ts_new" --output "$work/full" >&2
# The archive's items as separate bzip2 streams, with their paths, for the
# baseline.
mkdir -p "$work/items"
python3 - "$work/full/update.zar" "$work/items" <<'EOF'
import os, struct, sys
data = open(sys.argv[1], 'rb').read()
index = struct.unpack('>I', data[4:8])[0]
end = index + 4 + struct.unpack('>I', data[index:index + 4])[0]
at, n = index + 4, 0
with open(os.path.join(sys.argv[2], 'list'), 'wb') as listing:
    while at < end:
        offset, length = struct.unpack('>II', data[at:at + 8])
        stop = data.index(b'\0', at + 12)
        name, at = data[at + 12:stop], stop + 1
        if name != b'update.manifest':
            open(os.path.join(sys.argv[2], '%d.bz2' % n), 'wb').write(data[offset:offset + length])
            listing.write(b'%d ' % n + name + b'\n')
            n += 1
EOF
baseline=() into_empty=() over_old=()
for ((i = 0; i < runs; i++)); do
  rm -rf "$work/base" && mkdir "$work/base"
  (cd "$ts_new" && find . -type d) | (cd "$work/base" && xargs mkdir -p)
  t=$(now)
  (cd "$work/base" && while read -r n name; do bzip2 -dc < "$work/items/$n.bz2" > "$name"; done < "$work/items/list")
  baseline+=("$(elapsed "$t")")

  rm -rf "$work/empty" && mkdir "$work/empty"
  t=$(now)
  run_updater "$work/full" "$work/empty"
  into_empty+=("$(elapsed "$t")")

  rm -rf "$work/old" && cp -a "$ts_old" "$work/old"
  sync
  t=$(now)
  run_updater "$work/full" "$work/old"
  over_old+=("$(elapsed "$t")")
done
diff -r "$ts_new" "$work/base" >/dev/null || { echo "make_update_bench: the baseline did not extract the tree" >&2; exit 1; }
diff -r "$ts_new" "$work/empty" >/dev/null || { echo "make_update_bench: the complete update did not give the tree" >&2; exit 1; }
# Over the old tree, 5.4.4's files that 5.4.5 lacks may stay: compare 5.4.5's files only.
(cd "$ts_new" && find . -type f) | while read -r f; do
  cmp -s "$ts_new/$f" "$work/old/$f" || { echo "make_update_bench: $f differs after the update over 5.4.4" >&2; exit 1; }
done
base_med=$(median "${baseline[@]}")
empty_med=$(median "${into_empty[@]}")
old_med=$(median "${over_old[@]}")

esb_ratio=$(ratio "$esb_size" "$esb_patch")
j_ratio=$(ratio "$j2_med" "$j1_med")
empty_ratio=$(ratio "$empty_med" "$base_med")
old_ratio=$(ratio "$old_med" "$base_med")

mkdir -p "$results"
out="$results/make-update-$(date +%Y%m%d-%H%M%S).md"
{
  echo "make-update on real npm release pairs ($(nproc) cores; medians of $runs wall-clock runs; $(date -u +%Y-%m-%d);"
  echo "load average $load_before before the build runs, $(cut -d' ' -f1 /proc/loadavg) at the end)"
  echo
  echo "| measure | value | target | met |"
  echo "|---|---|---|---|"
  echo "| typescript 5.4.4 → 5.4.5 update (5 of 116 files changed) | $ts_size bytes | ≤ 4096 bytes | $(verdict "$ts_size" 4096) |"
  echo "| (for scale) \`tar -cjf\` of the whole 5.4.5 tree | $ts_tar bytes | | |"
  echo "| esbuild 0.25.4 → 0.25.5 update, one-file tree | $esb_size bytes | | |"
  echo "| esbuild: \`bzip2 -9\` of the zbdiff patch | $esb_patch bytes | | |"
  echo "| esbuild: update / bzip2 -9 patch | $esb_ratio | ≤ 1.05 | $(verdict "$esb_ratio" 1.05) |"
  echo "| build typescript update, -j 1 | $j1_med s | | |"
  echo "| build typescript update, -j 2 | $j2_med s | | |"
  echo "| -j 2 / -j 1 | $j_ratio | ≤ 0.65 | $(verdict "$j_ratio" 0.65) |"
  echo "| (CPU time, user + system, -j 1 / -j 2) | $cpu1_med s / $cpu2_med s | | |"
  echo "| \`bzip2 -dc\` of the complete update's items into an empty tree | $base_med s | | |"
  echo "| updater, complete update into an empty directory | $empty_med s | | |"
  echo "| updater, complete update over installed 5.4.4 | $old_med s | | |"
  echo "| updater into empty / bzip2 -dc | $empty_ratio | ≤ 1.15 | $(verdict "$empty_ratio" 1.15) |"
  echo "| updater over 5.4.4 / bzip2 -dc | $old_ratio | ≤ 1.5 | $(verdict "$old_ratio" 1.5) |"
} | tee "$out"
echo "saved to $out" >&2
