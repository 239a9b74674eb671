#!/usr/bin/env bash
# Interop with the real subnet manager and diagnostics. Small fat trees from
# fabricgen run in the ibsim fabric simulator; for every routing engine OpenSM
# routes them once and dumps its view, and ibnetdiscover, dump_fts and ibroute
# read the same fabric through the simulator. linkdeal must load every
# topology form with every table form, and linkdeal-check must find each
# pairs file holds (the forms may pair differently: hosts are taken in file
# order, which differs by form), and linkdeal-plan must
# cover the fabric (each where the program is built).
#
# Usage: interop/run.sh [BUILD_DIR]     (default: build)
#   INTEROP_KEEP=1          keep the work folder (printed at the end)
#   INTEROP_ENGINES="..."   routing engines (default: minhop updn ftree dfsssp)
#   INTEROP_FABRICS="..."   fabric names from the list below (default: all)
#   INTEROP_TOPOLOGY_FORMS="..."  of lst plain ports (default: all three)
# Installs ibsim-utils, opensm and infiniband-diags with apt when missing
# (needs root then). Everything talks over local sockets of this machine.
set -uo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build}" && pwd) || exit 1
start_time=$SECONDS

linkdeal=$build/linkdeal
fabricgen=$build/fabricgen
check=$build/linkdeal-check
plan=$build/linkdeal-plan
for program in "$linkdeal" "$fabricgen"; do
  [ -x "$program" ] || { echo "interop: $program is not built" >&2; exit 1; }
done

# Name, LMC and fabricgen options of each fabric: full and 3:1 oversubscribed
# two-level trees of 8-port switches, LMC 0 and 2, and a full tree whose last
# host is cabled on port 2 only.
fabrics=(
  "full:0:--leaves 4 --hosts-per-leaf 4 --up-links 4"
  "full-lmc2:2:--leaves 4 --hosts-per-leaf 4 --up-links 4"
  "over:0:--leaves 4 --hosts-per-leaf 6 --up-links 2"
  "over-lmc2:2:--leaves 4 --hosts-per-leaf 6 --up-links 2"
  "dead-port1:0:--leaves 4 --hosts-per-leaf 4 --up-links 4 --dead-port1-host"
)
engines=(${INTEROP_ENGINES:-minhop updn ftree dfsssp})
wanted=" ${INTEROP_FABRICS:-} "
topology_forms=(${INTEROP_TOPOLOGY_FORMS:-lst plain ports})
table_forms=(fdbs lfts dump_fts ibroute)
regex='^r([0-9]+)n'

# The simulator, the subnet manager and the diagnostics.
packages=(ibsim-utils opensm infiniband-diags)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "interop: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  { apt-get update -qq && apt-get install -y -qq "${missing[@]}"; } >/dev/null ||
    { echo "interop: could not install ${missing[*]}" >&2; exit 1; }
fi
umad2sim=$(dpkg -L libumad2sim0 2>/dev/null | grep '/libumad2sim\.so$' | head -n 1)
[ -n "$umad2sim" ] && [ -f "$umad2sim" ] || { echo "interop: libumad2sim.so not found" >&2; exit 1; }

work=$(mktemp -d /tmp/linkdeal-interop.XXXXXX)
failures=()
rows=()

cleanup() {
  local running
  running=$(jobs -rp)
  [ -z "$running" ] || kill $running 2>/dev/null
  wait
  if [ "${INTEROP_KEEP:-0}" = 1 ] || [ ${#failures[@]} -gt 0 ]; then
    echo "interop: work folder kept: $work"
  else
    rm -rf "$work"
  fi
}
trap cleanup EXIT

# fail FABRIC ENGINE WHAT: one line that says which run and which command,
# into the failures file of the run's folder.
fail() {
  echo "fabric $1, engine $2: $3" >>"$work/$1/$2.failures"
}
# A command as it can be pasted into a shell.
quoted() { local q; q=$(printf '%q ' "$@"); echo "${q% }"; }

# Pair lines (two port names) and STAGE lines of a pairs file.
pair_lines() { grep -v -e '^#' -e '^STAGE ' -e '^$' "$1" | wc -l; }
stage_lines() { grep -c '^STAGE ' "$1"; }

# Runs a client of the simulator: the preload library routes its MADs to
# this run's ibsim, attached at the subnet manager's host.
sim() {
  LD_PRELOAD=$umad2sim IBSIM_SOCKNAME=$sock SIM_HOST=$smhost timeout 60 "$@"
}

# One fabric routed by one engine, in a subshell of its own: results go to
# $work/FABRIC/ENGINE.rows and .failures.
run_case() {
  local fabric=$1 lmc=$2 net=$3 engine=$4 simpid
  local dir=$work/$fabric/$engine
  mkdir -p "$dir/osm" "$dir/ibroute"
  cd "$dir" || return

  # A fresh simulator on a socket name of its own.
  sock=linkdeal-interop-$$-$fabric-$engine
  IBSIM_SOCKNAME=$sock ibsim -s -n "$net" >sim.log 2>&1 </dev/null &
  simpid=$!
  trap 'kill $simpid 2>/dev/null' EXIT
  trap 'exit 1' TERM INT
  local i
  for ((i = 0; i < 100; i++)); do
    grep -qs 'Network simulator ready' sim.log && break
    kill -0 "$simpid" 2>/dev/null || break
    sleep 0.1
  done
  if ! grep -qs 'Network simulator ready' sim.log; then
    fail "$fabric" "$engine" "ibsim -s -n $net did not start: $(tail -n 3 sim.log)"
    kill "$simpid" 2>/dev/null; wait "$simpid" 2>/dev/null
    return
  fi

  # OpenSM once, with an empty configuration, the routing log flag (0x40)
  # that makes it write its dumps, and a dump folder of its own.
  : >osm/opensm.conf
  local osm=(opensm -F "$dir/osm/opensm.conf" -o -R "$engine" -l "$lmc" -D 0x43
    -f "$dir/osm/opensm.log")
  if ! OSM_TMP_DIR=$dir/osm OSM_CACHE_DIR=$dir/osm sim "${osm[@]}" >osm/opensm.out 2>&1; then
    fail "$fabric" "$engine" "$(quoted "${osm[@]}") failed: $(tail -n 2 osm/opensm.out)"
  fi
  local used
  used=$(sed -n 's/.*osm_ucast_mgr_process: \([A-Za-z0-9_-]*\) tables configured on all switches.*/\1/p' \
    osm/opensm.log | tail -n 1)
  [ -n "$used" ] || fail "$fabric" "$engine" "$(quoted "${osm[@]}"): no 'tables configured' line in its log"
  local f
  for f in opensm-subnet.lst opensm.fdbs opensm-lfts.dump; do
    [ -s "osm/$f" ] || fail "$fabric" "$engine" "$(quoted "${osm[@]}") wrote no $f"
  done

  # The same fabric as the diagnostics see it, from the subnet manager's host.
  sim ibnetdiscover >ibnetdiscover.txt 2>diag.err || fail "$fabric" "$engine" "ibnetdiscover failed"
  sim ibnetdiscover -p >ibnetdiscover-p.txt 2>>diag.err || fail "$fabric" "$engine" "ibnetdiscover -p failed"
  sim dump_fts >dump_fts.txt 2>>diag.err || fail "$fabric" "$engine" "dump_fts failed"
  local lid
  for lid in $(awk '$1 == "SW" { print $2 }' ibnetdiscover-p.txt | sort -un); do
    sim ibroute "$lid" >"ibroute/lid-$(printf %05d "$lid").txt" 2>>diag.err ||
      fail "$fabric" "$engine" "ibroute $lid failed"
  done
  kill "$simpid" 2>/dev/null
  wait "$simpid" 2>/dev/null
  trap - EXIT

  # linkdeal on every topology form with every table form.
  declare -A topo=([lst]=osm/opensm-subnet.lst [plain]=ibnetdiscover.txt [ports]=ibnetdiscover-p.txt)
  declare -A tables=([fdbs]=osm/opensm.fdbs [lfts]=osm/opensm-lfts.dump [dump_fts]=dump_fts.txt
    [ibroute]=ibroute)
  local t b counts=() cell status
  for t in "${topology_forms[@]}"; do
    local row stages= checked=- planned=-
    row=$(printf '%-11s %-7s %-7s %-6s' "$fabric" "$engine" "$used" "$t")
    for b in "${table_forms[@]}"; do
      local pairs=pairs-$t-$b.txt
      local cmd=("$linkdeal" -l "${topo[$t]}" -f "${tables[$b]}" -i "$regex" -m "$lmc" -o "$pairs")
      "${cmd[@]}" >"linkdeal-$t-$b.log" 2>&1
      status=$?
      if [ $status = 0 ]; then
        local n
        n=$(pair_lines "$pairs")
        counts+=("$t/$b=$n")
        cell=$n
        stages=$(stage_lines "$pairs")
        if [ -x "$check" ]; then
          # With LMC, linkdeal's pair may use any LID of the destination and the
          # pairs file does not say which: the check has to look for one.
          local ccmd=("$check" -l "${topo[$t]}" -f "${tables[$b]}" -m "$lmc")
          [ "$lmc" = 0 ] || ccmd+=(--any-lid)
          ccmd+=("$pairs")
          "${ccmd[@]}" >"check-$t-$b.log" 2>&1
          status=$?
          if [ $status = 0 ]; then
            [ "$checked" = - ] && checked=ok
          else
            checked=FAIL
            fail "$fabric" "$engine" "(cd $dir && $(quoted "${ccmd[@]}")): status $status"
          fi
        fi
      else
        cell="FAIL"
        fail "$fabric" "$engine" "(cd $dir && $(quoted "${cmd[@]}")): status $status, $(grep -m 1 -e '-E-' "linkdeal-$t-$b.log")"
      fi
      row+=$(printf ' %-9s' "$cell")
    done
    if [ -x "$plan" ]; then
      local pcmd=("$plan" -l "${topo[$t]}" -f osm/opensm.fdbs -i "$regex" -m "$lmc" -o "plan-$t.txt")
      "${pcmd[@]}" >"plan-$t.log" 2>&1
      status=$?
      if [ $status = 0 ] && ! grep -q 'every coverable host and directed link covered' "plan-$t.log"; then
        planned=PART
        fail "$fabric" "$engine" "(cd $dir && $(quoted "${pcmd[@]}")): coverage not complete"
      elif [ $status = 0 ]; then
        planned="$(stage_lines "plan-$t.txt") stages"
        if [ -x "$check" ]; then
          local pccmd=("$check" -l "${topo[$t]}" -f osm/opensm.fdbs -m "$lmc" "plan-$t.txt")
          "${pccmd[@]}" >"check-plan-$t.log" 2>&1
          status=$?
          if [ $status != 0 ]; then
            planned+=" FAIL"
            fail "$fabric" "$engine" "(cd $dir && $(quoted "${pccmd[@]}")): status $status"
          fi
        fi
      else
        planned=FAIL
        fail "$fabric" "$engine" "(cd $dir && $(quoted "${pcmd[@]}")): status $status, $(grep -m 1 -e '-E-' "plan-$t.log")"
      fi
    fi
    echo "$row $(printf '%-6s %-6s %s' "${stages:--}" "$checked" "$planned")" >>"$work/$fabric/$engine.rows"
  done

  # The forms describe one fabric, but hosts are taken in file order within
  # a group, and the order differs by form: the pair counts may differ. What
  # must hold is each pairs file, which linkdeal-check confirmed above.
  [ -x "$check" ] || echo "$fabric $engine: pair counts (not checked): ${counts[*]}"
}

# The simulator reads ibnetdiscover's plain form: fabricgen writes it where
# it can, else the script converts fabricgen's LST.
net_option=
"$fabricgen" --help | grep -q -- --topology-format && net_option="--topology-format ibnetdiscover"

for entry in "${fabrics[@]}"; do
  IFS=: read -r fabric lmc options <<<"$entry"
  [ "$wanted" = "  " ] || [[ $wanted == *" $fabric "* ]] || continue
  mkdir -p "$work/$fabric"
  # shellcheck disable=SC2086 # the options are words
  gen=("$fabricgen" -o "$work/$fabric/gen" -r 8 $options $net_option)
  if ! "${gen[@]}" >"$work/$fabric/fabricgen.log" 2>&1; then
    for engine in "${engines[@]}"; do
      fail "$fabric" "$engine" "$(quoted "${gen[@]}"): $(head -n 2 "$work/$fabric/fabricgen.log")"
    done
    continue
  fi
  if [ -z "$net_option" ]; then
    awk -f interop/lst-to-ibsim.awk "$work/$fabric/gen/fabric.lst" >"$work/$fabric/gen/fabric.ibnetdiscover"
  fi
  net=$(ls "$work/$fabric/gen"/*ibnetdiscover* 2>/dev/null | head -n 1)
  # The subnet manager runs on the first host.
  smhost=$(sed -n 's/^Ca[[:space:]]*[0-9]*[[:space:]]*"\([^"]*\)".*/\1/p' "$net" | head -n 1)
  # Each run has its own simulator: two at a time keep both cores busy.
  for engine in "${engines[@]}"; do
    (run_case "$fabric" "$lmc" "$net" "$engine") &
    while [ "$(jobs -rp | wc -l)" -ge "${INTEROP_JOBS:-2}" ]; do wait -n; done
  done
done
wait

for entry in "${fabrics[@]}"; do
  fabric=${entry%%:*}
  for engine in "${engines[@]}"; do
    [ -f "$work/$fabric/$engine.rows" ] && mapfile -t -O ${#rows[@]} rows <"$work/$fabric/$engine.rows"
    [ -f "$work/$fabric/$engine.failures" ] &&
      mapfile -t -O ${#failures[@]} failures <"$work/$fabric/$engine.failures"
  done
done

echo
printf '%-11s %-7s %-7s %-6s' fabric engine used topo
for b in "${table_forms[@]}"; do printf ' %-9s' "$b"; done
printf ' %-6s %-6s %s\n' stages check plan
for row in "${rows[@]}"; do echo "$row"; done
echo
[ -x "$check" ] || echo "linkdeal-check is not built: pairs files not checked"
[ -x "$plan" ] || echo "linkdeal-plan is not built: no coverage plans"
echo "interop: ${#rows[@]} rows, ${#failures[@]} failures, $((SECONDS - start_time)) s"
if [ ${#failures[@]} -gt 0 ]; then
  printf '  %s\n' "${failures[@]}"
  exit 1
fi
