#!/usr/bin/env bash
# Builds the Debian package in a configured build folder, installs it on this
# machine with dpkg, checks what it installed (programs, version, man pages,
# completion, a run on the example fabric) and removes it again.
# Needs root, dpkg-dev (dpkg-shlibdeps) and man-db.
set -euo pipefail
build=${1:?usage: packaging/check-package.sh BUILD_DIR}

# One check at a time on a machine: they install and remove the same package.
exec 9>/var/lock/linkdeal-package-check.lock
flock 9

if dpkg-query -W -f='${Status}' linkdeal 2>/dev/null | grep -q 'install ok installed'; then
  echo "package check: a linkdeal package is already installed on this machine;" \
    "remove it first (dpkg --purge linkdeal), this check leaves the machine as it found it" >&2
  exit 1
fi

rm -f "$build"/linkdeal_*.deb
if ! out=$(cd "$build" && cpack -G DEB 2>&1); then
  echo "$out" >&2
  echo "package check: cpack failed" >&2
  exit 1
fi
debs=("$build"/linkdeal_*.deb)
deb=${debs[0]}
echo "built $deb"
dpkg-deb -f "$deb" Package Version Section Depends

tmp=$(mktemp -d)
cleanup() {
  dpkg --purge linkdeal >/dev/null 2>&1 || true
  rm -rf "$tmp"
}
trap cleanup EXIT
fail() {
  echo "package check: $*" >&2
  exit 1
}

dpkg -i "$deb" >/dev/null
version=$(dpkg-deb -f "$deb" Version)
programs=$(dpkg-deb -c "$deb" | sed -n 's|.* \./usr/bin/||p')
[ -n "$programs" ] || fail "no programs in the package"
for program in $programs; do
  [ "$(command -v $program)" = /usr/bin/$program ] || fail "$program is not in /usr/bin"
  got=$($program -V | tail -n 1)
  [ "$got" = "$program version: $version" ] || fail "$program -V says '$got', the package is $version"
  completion=/usr/share/bash-completion/completions/$program
  [ -f "$completion" ] || fail "no $completion"
  bash -c "source $completion && complete -p $program" >/dev/null || fail "$completion does not register"
  page=$(man -w "$program" 2>&1) || fail "man -w $program: $page"
  case $page in /usr/share/man/man[18]/$program.[18].gz) ;; *) fail "man -w $program gives $page" ;; esac
  echo "$program -V: $($program -V | tail -n 1); man -w $program: $page"
done

example=/usr/share/doc/linkdeal/examples
linkdeal -l $example/fabric.lst -f $example/fabric.fdbs -i '^r([0-9]+)n' -o "$tmp/pairs" \
  >"$tmp/log" || { cat "$tmp/log"; fail "linkdeal failed on the installed example"; }
pairs=$(grep -c '^r[0-9]*n[0-9]*_HCA-1/P1 r[0-9]*n[0-9]*_HCA-1/P1$' "$tmp/pairs" || true)
[ "$pairs" = 16 ] || fail "the installed example gave $pairs pairs, not 16"
echo "installed example: $pairs pairs"

dpkg --purge linkdeal >/dev/null
for f in $(dpkg-deb -c "$deb" | sed -n 's|.* \./usr/|/usr/|p' | grep -v '/$'); do
  [ ! -e "$f" ] || fail "$f is still there after dpkg --purge"
done
echo "package check passed; package removed"
