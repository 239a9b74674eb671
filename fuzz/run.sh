#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each for a given time.
#   fuzz/run.sh SECONDS [TARGET...]     targets: lst fdb plft pipeline pairs roundtrip (default all)
# Seed corpora come from fabricgen (same shape as the targets' fixed fabric)
# and grow in build-fuzz/corpus/; crashes land in build-fuzz/artifacts/.
# Exits nonzero when any target reports a finding.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:?usage: fuzz/run.sh SECONDS [TARGET...]}
shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(lst fdb plft pipeline pairs roundtrip)
build=${LINKDEAL_FUZZ_BUILD:-$top/build-fuzz}

cmake -S "$top" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DLINKDEAL_FUZZ=ON -DLINKDEAL_TESTS=OFF -DLINKDEAL_BENCH=OFF >/dev/null
cmake --build "$build" -j2 --target fabricgen "${targets[@]/%/_fuzz}" >/dev/null

# Seeds: the fixture's own files, in both forwarding-table layouts.
seeds=$build/seeds
rm -rf "$seeds"
mkdir -p "$seeds/a" "$seeds/b"
shape=(--levels 2 --radix 8 --leaves 2 --hosts-per-leaf 2 --private-tables)
"$build/fabricgen" -o "$seeds/a" "${shape[@]}" >/dev/null
"$build/fabricgen" -o "$seeds/b" "${shape[@]}" --layout B >/dev/null
for t in "${targets[@]}"; do mkdir -p "$build/corpus/$t"; done
[ -d "$build/corpus/lst" ] && cp "$seeds/a/fabric.lst" "$build/corpus/lst/seed-a"
if [ -d "$build/corpus/roundtrip" ]; then
  # The fixture in each topology form.
  cp "$seeds/a/fabric.lst" "$build/corpus/roundtrip/seed-lst"
  for form in ibnetdiscover ibnetdiscover-p; do
    mkdir -p "$seeds/$form"
    "$build/fabricgen" -o "$seeds/$form" "${shape[@]}" --topology-format "$form" >/dev/null
    cp "$seeds/$form/fabric.$form" "$build/corpus/roundtrip/seed-$form"
  done
fi
if [ -d "$build/corpus/fdb" ]; then
  cp "$seeds/a/fabric.fdbs" "$build/corpus/fdb/seed-a"
  cp "$seeds/b/fabric.fdbs" "$build/corpus/fdb/seed-b"
fi
[ -d "$build/corpus/plft" ] && cp "$seeds/a/fabric.plft" "$build/corpus/plft/seed-a"
if [ -d "$build/corpus/pipeline" ]; then
  for opts in '\x01\x00\x00\x00\x00\x00' '\x02\x03\x01\x01\x00\x01' '\x01\x00\x00\x00\x01\x02'; do
    name=seed-$(printf '%s' "$opts" | tr -d '\\x')
    { printf "$opts"; cat "$seeds/a/fabric.fdbs"; printf '\0'; cat "$seeds/a/fabric.plft"; } \
      >"$build/corpus/pipeline/$name"
  done
fi

if [ -d "$build/corpus/pairs" ]; then
  # A pairs file, a NUL, then a results file, on the fixture's hosts.
  printf '# pairs\nSTAGE 1\nr01n01_HCA-1/P1 r02n01_HCA-1/P1 0x7\nr02n02_HCA-1 r01n02_HCA-1\nSTAGE 2\nr01n02_HCA-1/P1 r02n02_HCA-1\n\0STAGE 1\nr01n01_HCA-1/P1 r02n01_HCA-1/P1 190.5\nr02n02_HCA-1 r01n02_HCA-1 80\n' \
    >"$build/corpus/pairs/seed-stages"
  printf 'r01n01_HCA-1 r02n01_HCA-1\n0xb8cef6032f6a8b01 r01n02_HCA-1/P1\n\0r01n01_HCA-1 r02n01_HCA-1 1e2\n' \
    >"$build/corpus/pairs/seed-plain"
fi

mkdir -p "$build/artifacts"
status=0
for t in "${targets[@]}"; do
  echo "== $t: ${seconds}s"
  log=$build/$t.log
  if "$build/${t}_fuzz" "$build/corpus/$t" -max_total_time="$seconds" -timeout=10 \
      -rss_limit_mb=2048 -max_len=65536 -close_fd_mask=3 -print_final_stats=1 \
      -artifact_prefix="$build/artifacts/$t-" >"$log" 2>&1; then
    grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|#[0-9]+.*DONE)' "$log" || true
  else
    status=1
    echo "finding in $t (log: $log):"
    grep -E 'ERROR|SUMMARY|Test unit written' "$log" | head -20 || true
  fi
done
exit $status
