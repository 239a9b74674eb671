#!/usr/bin/env bash
# End-to-end benchmark: generates 3-level fat trees with fabricgen (36-port
# switches: 972, 3,888 and 11,664 hosts; with "big", also the 40,960-host tree
# of 64-port switches), each with LIDs in tree order, shuffled the way a
# long-lived subnet has them, and shuffled with the tables a min-hop subnet
# manager computes (where many sources find no destination). Times whole
# linkdeal runs, the phases of a run, `wc -l` over the same input files, a
# run whose every search fails (-d 7, one link more than the longest path)
# and the reference search where it finishes in time; prints one table row
# per fabric.
#   bench/e2e.sh [BUILD_DIR] [RUNS] [big]     (defaults: build, 5)
# The reference search (36-port trees only) gets 600 s per fabric; its pairs
# must equal ours.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build}
runs=${2:-5}
big=${3:-}
for tool in linkdeal fabricgen bench/run_phases; do
  [ -x "$build/$tool" ] || { echo "missing $build/$tool: build the project first" >&2; exit 1; }
done
work=$(mktemp -d /tmp/linkdeal-e2e.XXXXXX)
trap 'rm -rf "$work"' EXIT

median() { sort -g | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }
# Wall seconds of one command (finer than /usr/bin/time's hundredths); its
# peak RSS in KB goes to $work/rss_kb.
seconds() {
  local start=$EPOCHREALTIME
  /usr/bin/time -f '%M' -o "$work/rss_kb" "$@" >/dev/null 2>&1 || true
  awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN{printf "%.3f\n", b - a}'
}

trees=("36 3" "36 12" "36 36")
[ "$big" = big ] && trees+=("64 40")

printf '| hosts | LIDs | files MB | load s | check s | search s | total s | wc -l s | ratio | peak RSS MB | -d 7 total s | reference search s |\n'
printf '|---|---|---|---|---|---|---|---|---|---|---|---|\n'
for tree in "${trees[@]}"; do
  read -r radix pods <<<"$tree"
  for layout in sequential shuffled minhop; do
    dir=$work/r$radix-p$pods-$layout
    shuffle=()
    [ "$layout" = shuffled ] && shuffle=(--shuffle 1)
    [ "$layout" = minhop ] && shuffle=(--shuffle 1 --routing minhop)
    "$build/fabricgen" -o "$dir" --levels 3 --radix "$radix" --pods "$pods" "${shuffle[@]}" \
      >"$work/gen.txt"
    hosts=$(sed -n 's/^fabricgen: \([0-9]*\) hosts.*/\1/p' "$work/gen.txt")
    mb=$(du -cm "$dir/fabric.lst" "$dir/fabric.fdbs" | tail -1 | cut -f1)
    args=(-l "$dir/fabric.lst" -f "$dir/fabric.fdbs" -i '^r([0-9]+)n' -o "$dir/pairs")

    : >"$work/total" ; : >"$work/rss" ; : >"$work/wc" ; : >"$work/phases"
    for _ in $(seq "$runs"); do
      seconds "$build/linkdeal" "${args[@]}" >>"$work/total"
      cat "$work/rss_kb" >>"$work/rss"
      seconds wc -l "$dir/fabric.lst" "$dir/fabric.fdbs" >>"$work/wc"
      "$build/bench/run_phases" "${args[@]}" 2>>"$work/phases" >/dev/null
    done
    phase() { sed -n "s/.* $1=\([0-9.]*\).*/\1/p" "$work/phases" | median; }
    load=$(awk -v a="$(phase lst)" -v b="$(phase group)" -v c="$(phase tables)" 'BEGIN{print a+b+c}')
    total=$(median <"$work/total")
    wc=$(median <"$work/wc")
    ratio=$(awk -v t="$total" -v w="$wc" 'BEGIN{ printf "%.1f", t / w }')
    rss=$(awk '{print int($1/1024)}' "$work/rss" | median)
    cp "$dir/pairs" "$dir/pairs.fast"

    failing=$(seconds timeout 600 "$build/linkdeal" "${args[@]}" -d 7)

    reference=-
    if [ "$radix" = 36 ]; then
      if timeout 600 "$build/bench/run_phases" --literal "${args[@]}" 2>"$work/literal" >/dev/null; then
        reference=$(sed -n 's/.* search=\([0-9.]*\).*/\1/p' "$work/literal")
        cmp -s "$dir/pairs" "$dir/pairs.fast" || reference="$reference (pairs differ!)"
      else
        reference="over 600"
      fi
    fi
    printf '| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |\n' "$hosts" "$layout" \
      "$mb" "$load" "$(phase check)" "$(phase search)" "$total" "$wc" "$ratio" "$rss" \
      "$failing" "$reference"
    rm -rf "$dir"
  done
done
