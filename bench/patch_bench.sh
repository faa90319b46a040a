#!/usr/bin/env bash
# Compares zbdiff with xdelta3 and zstd on real release pairs fetched with npm.
#
#   bench/patch_bench.sh [BUILD_DIR]     (default: build; needs bin/zbdiff, bin/zbpatch)
#
# Fetches (npm pack, into bench/data/, git-ignored) @esbuild/linux-x64 0.20.2,
# 0.23.1, 0.25.4 and 0.25.5 (file package/bin/esbuild, a native executable) and
# typescript 5.4.4 and 5.4.5 (its three largest changed files). For each pair
# it measures, in one run:
#   - our patch: zbdiff OLD NEW, then bzip2 -9 of the patch (as the update
#     archive stores it); generation time and peak memory by GNU time -v;
#     and checks that zbpatch OLD PATCH gives NEW exactly;
#   - xdelta3 -9 -e -s OLD NEW;
#   - zstd --patch-from=OLD -19 --long=27 NEW;
#   - bzip2 -9 of the whole NEW.
# Prints a Markdown table and saves it under bench/results/ (git-ignored).
# Needs: npm, bzip2, xdelta3, zstd, GNU time (/usr/bin/time).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
build=${1:-$repo/build}
zbdiff=$build/bin/zbdiff
zbpatch=$build/bin/zbpatch
data=$here/data
results=$here/results
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for tool in npm bzip2 xdelta3 zstd /usr/bin/time "$zbdiff" "$zbpatch"; do
  command -v "$tool" >/dev/null || { echo "patch_bench: missing $tool" >&2; exit 1; }
done

# fetch NAME VERSION: unpacks the package into $data/NAME-VERSION/package.
fetch() {
  local name=$1 version=$2 dir="$data/${1//\//-}-$2"
  dir=${dir/@/}
  if [ ! -d "$dir/package" ]; then
    mkdir -p "$dir"
    (cd "$dir" && npm pack --silent "$name@$version" >/dev/null && tar xzf ./*.tgz && rm -f ./*.tgz)
  fi
  echo "$dir/package"
}

esb_0202=$(fetch @esbuild/linux-x64 0.20.2)
esb_0231=$(fetch @esbuild/linux-x64 0.23.1)
esb_0254=$(fetch @esbuild/linux-x64 0.25.4)
esb_0255=$(fetch @esbuild/linux-x64 0.25.5)
ts_544=$(fetch typescript 5.4.4)
ts_545=$(fetch typescript 5.4.5)

pairs=()  # "label|old|new|kind"
pairs+=("esbuild 0.25.4 → 0.25.5|$esb_0254/bin/esbuild|$esb_0255/bin/esbuild|binary")
pairs+=("esbuild 0.23.1 → 0.25.5|$esb_0231/bin/esbuild|$esb_0255/bin/esbuild|binary")
pairs+=("esbuild 0.20.2 → 0.25.5|$esb_0202/bin/esbuild|$esb_0255/bin/esbuild|binary")
# The three largest files that changed between the two typescript releases.
while read -r _ rel; do
  pairs+=("typescript 5.4.4 → 5.4.5 $rel|$ts_544/$rel|$ts_545/$rel|text")
done < <(cd "$ts_544" && find . -type f -printf '%s %P\n' | sort -rn |
         while read -r size rel; do
           [ -f "$ts_545/$rel" ] && ! cmp -s "$rel" "$ts_545/$rel" && echo "$size $rel"
         done | head -3)

# timed CMD...: runs CMD under GNU time; sets secs (wall), cpu (user + system) and peak_mb.
timed() {
  /usr/bin/time -v -o "$work/time" "$@" >/dev/null 2>"$work/stderr" || {
    echo "patch_bench: failed: $*" >&2; cat "$work/stderr" >&2; exit 1; }
  secs=$(awk -F': ' '/Elapsed \(wall clock\)/ {
           n = split($2, p, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + p[i]; printf "%.2f", s }' "$work/time")
  cpu=$(awk -F': ' '/User time/ { u = $2 } /System time/ { s = $2 } END { printf "%.2f", u + s }' "$work/time")
  peak_mb=$(awk -F': ' '/Maximum resident set size/ { printf "%.0f", $2 / 1024 }' "$work/time")
}

size() { stat -c %s "$1"; }
kb() { awk -v b="$1" 'BEGIN { if (b < 10240) printf "%d B", b; else printf "%.1f KB", b / 1000 }'; }

out="$work/table.md"
{
  echo "| Pair | OLD / NEW | zbdiff + bzip2 -9 | time | peak | zstd -19 --long=27 | time | peak | xdelta3 -9 | time | peak | bzip2 -9 of NEW | applies | best peer |"
  echo "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|"
} >"$out"

verdicts=()
for pair in "${pairs[@]}"; do
  IFS='|' read -r label old new kind <<<"$pair"
  echo "patch_bench: $label" >&2
  timed "$zbdiff" "$old" "$new" "$work/patch"
  our_t=$secs our_c=$cpu our_m=$peak_mb
  bzip2 -9 -c "$work/patch" >"$work/patch.bz2"
  ours=$(size "$work/patch.bz2")
  "$zbpatch" "$old" "$work/patch" "$work/applied"
  if cmp -s "$work/applied" "$new"; then applies=yes; else applies=NO; fi

  timed zstd -q -f --patch-from="$old" -19 --long=27 "$new" -o "$work/z.zst"
  zs=$(size "$work/z.zst") zs_t=$secs zs_c=$cpu zs_m=$peak_mb
  timed xdelta3 -9 -e -f -s "$old" "$new" "$work/x.xd3"
  xd=$(size "$work/x.xd3") xd_t=$secs xd_c=$cpu xd_m=$peak_mb
  bz=$(bzip2 -9 -c "$new" | wc -c)

  best=$(( zs < xd ? zs : xd ))
  inputs_mb=$(( ($(size "$old") + $(size "$new")) / 1048576 ))
  echo "| $label | $(kb "$(size "$old")") / $(kb "$(size "$new")") | **$(kb "$ours")** | ${our_t} s (${our_c}) | ${our_m} MB |" \
       "$(kb "$zs") | ${zs_t} s (${zs_c}) | ${zs_m} MB | $(kb "$xd") | ${xd_t} s (${xd_c}) | ${xd_m} MB | $(kb "$bz") | $applies |" \
       "$(awk -v o="$ours" -v b="$best" 'BEGIN { printf "%+.1f%%", (o - b) * 100 / b }') |" >>"$out"

  # The targets: binary pairs no larger than the best peer, text pairs within
  # 1 KiB of it; time at most 2 x zstd's; peak memory at most 6 x (OLD + NEW).
  slack=0; [ "$kind" = text ] && slack=1024
  size_ok=$([ "$ours" -le $(( best + slack )) ] && echo ok || echo MISSED)
  time_ok=$(awk -v a="$our_c" -v b="$zs_c" 'BEGIN { print (a <= 2 * b) ? "ok" : "MISSED" }')
  mem_ok=$([ "$our_m" -le $(( 6 * (inputs_mb + 1) )) ] && echo ok || echo MISSED)
  verdicts+=("- $label: size $size_ok, time $time_ok, memory $mem_ok, applies $applies")
done

{
  echo
  echo "Sizes in KB (1000 bytes). zbdiff's patch is compressed with bzip2 -9 as the update"
  echo "archive stores it; 'best peer' is our size against the smaller of zstd and xdelta3."
  echo "Time: wall clock, with CPU time (user + system) in brackets; the 2 x zstd check uses"
  echo "CPU time, which other load on the machine disturbs less. Peak: maximum resident set."
  echo "Machine: $(nproc) CPUs, $(uname -m); $(date -u +%Y-%m-%d)."
  echo
  printf '%s\n' "${verdicts[@]}"
} >>"$out"

mkdir -p "$results"
cp "$out" "$results/patch-$(date -u +%Y%m%d-%H%M%S).md"
cat "$out"
