#!/usr/bin/env bash
# Draws linkdeal-check's HTML report in headless Chromium to PNG files, to
# look at: examples/ without and with results, a 3-level fabricgen tree with an
# injected overload and a slow pair, and the aggregated view of a 2,560-host
# tree. Usage: check/html/screenshots.sh BUILD_DIR OUT_DIR
set -euo pipefail
build=$(realpath "$1")
mkdir -p "$2"
out=$(realpath "$2")
src=$(cd "$(dirname "$0")/../.." && pwd)
w=$(mktemp -d)
trap 'rm -rf "$w"' EXIT

shot() { # HTML PNG WIDTH,HEIGHT
  local profile
  profile=$(mktemp -d "$w/profile.XXXX")
  rm -f "$out/$2"
  chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
    --disable-background-networking --disable-component-update --disable-sync \
    --user-data-dir="$profile" --hide-scrollbars --window-size="$3" \
    --screenshot="$out/$2" "file://$1" > "$w/chromium.log" 2>&1 || true
  if [ ! -s "$out/$2" ]; then
    cat "$w/chromium.log" >&2
    echo "screenshots: no $2" >&2
    exit 1
  fi
  echo "$out/$2"
}

# Results: every pair at 196 Gb/s but the first, at 40%.
results() { awk '/^STAGE/ {print; next} /^r/ {print $1, $2, (n++ ? 196 : 78.2)}' "$1"; }

# examples/: linkdeal's pairs, without and with results.
ex=$src/examples
"$build/linkdeal" -l "$ex/fabric.lst" -f "$ex/fabric.fdbs" -i '^r([0-9]+)n' -o "$w/ex.pairs" > /dev/null
results "$w/ex.pairs" > "$w/ex.results"
"$build/linkdeal-check" -l "$ex/fabric.lst" -f "$ex/fabric.fdbs" --html "$w/examples.html" \
  "$w/ex.pairs" > /dev/null
# Status 3: the plan holds and a pair is slow, as meant here.
"$build/linkdeal-check" -l "$ex/fabric.lst" -f "$ex/fabric.fdbs" --results "$w/ex.results" \
  --html "$w/examples-results.html" "$w/ex.pairs" > /dev/null || [ $? = 3 ]
shot "$w/examples.html" examples.png 1400,900
shot "$w/examples-results.html" examples-results.png 1400,1300

# A cable of leaf05's port 5 recorded at 2 lanes instead of 4 in topology $1.
degrade() { sed -i -E '/\{MF0;leaf05:MQM8700\/U1\} LID:[0-9A-F]+ PN:05 \}/ s/PHY=4x/PHY=2x/' "$1"; }

# A 3-level tree with a degraded cable: the plan, with the destinations of its
# first pair and of the first later pair that makes some port carry 2 swapped.
"$build/fabricgen" -o "$w/t3" --levels 3 --radix 8 > /dev/null
degrade "$w/t3/fabric.lst"
t3="-l $w/t3/fabric.lst -f $w/t3/fabric.fdbs"
"$build/linkdeal-plan" $t3 -i '^r([0-9]+)n' -o "$w/t3.plan" > /dev/null
first=$(grep -n -m 1 '^r' "$w/t3.plan" | cut -d: -f1)
for j in $(grep -n '^r' "$w/t3.plan" | sed -n '2,64p' | cut -d: -f1); do
  awk -v a="$first" -v b="$j" 'NR == FNR {if (FNR == a) da = $2; if (FNR == b) db = $2; next}
    FNR == a {$2 = db} FNR == b {$2 = da} {print}' "$w/t3.plan" "$w/t3.plan" > "$w/t3.over"
  if ! "$build/linkdeal-check" $t3 "$w/t3.over" > /dev/null; then break; fi
done
results "$w/t3.over" > "$w/t3.results"
"$build/linkdeal-check" $t3 --results "$w/t3.results" --html "$w/tree3.html" "$w/t3.over" \
  > /dev/null || true
shot "$w/tree3.html" tree3.png 1400,1000

# 64 leaves of 40 hosts with 24 up-links, each host sending to its peer on the
# next leaf: the up-links carry 2 pairs, drawn aggregated.
"$build/fabricgen" -o "$w/big" --radix 64 --hosts-per-leaf 40 --up-links 24 > /dev/null
degrade "$w/big/fabric.lst"
for l in $(seq 1 64); do for n in $(seq 1 40); do
  printf 'r%02dn%02d_HCA-1/P1 r%02dn%02d_HCA-1/P1\n' "$l" "$n" $((l % 64 + 1)) "$n"
done; done > "$w/big.pairs"
results "$w/big.pairs" > "$w/big.results"
"$build/linkdeal-check" -l "$w/big/fabric.lst" -f "$w/big/fabric.fdbs" --results "$w/big.results" \
  --html "$w/aggregated.html" "$w/big.pairs" > /dev/null || true
shot "$w/aggregated.html" aggregated.png 1400,1000
