#!/usr/bin/env bash
# Checks that the Debian package is reproducible: the same commit, built in fresh trees at
# different paths, at different times, under different time zones, locales, umasks and host
# names, gives the same .deb byte for byte; on a difference diffoscope shows it and the check
# fails. Also checks that `make dist` gives the same tarball twice and that a tree unpacked
# from it (without git) builds the same package.
#
#  1. A fresh clone of the commit is built twice by Debian's reprotest (every variation it has
#     but another build user: path, time, time zone, locale, umask, host and domain name, file
#     order, kernel, CPUs, environment, home), or, where reprotest is not installed or with
#     --clones, once in that clone and once in a second clone (another path, umask 002, UTC+14,
#     POSIX locale, another host name, minutes later).
#  2. make dist twice in the clone; the tarballs must be the same.
#  3. The tarball unpacked elsewhere under umask 002 and UTC-12, built: the same package again.
#
# usage: scripts/reproducible-check.sh [--clones] [--keep] [COMMIT]    (default: HEAD)
set -euo pipefail
cd "$(dirname "$0")/.."
src=$(pwd)

use_reprotest=1
keep=0
while [[ $# -gt 0 && "$1" == --* ]]; do
  case "$1" in
    --clones) use_reprotest=0 ;;
    --keep) keep=1 ;;
    *) echo "usage: $0 [--clones] [--keep] [COMMIT]" >&2; exit 2 ;;
  esac
  shift
done
command -v reprotest >/dev/null || use_reprotest=0
commit=$(git rev-parse --verify "${1:-HEAD}^{commit}")
work=$(mktemp -d /tmp/esm-repro-XXXXXX)
cleanup() {
  if [[ $keep -eq 1 ]]; then echo "trees kept in $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT

clone() {  # clone DIR: a fresh checkout of the commit
  git clone -q --no-local --no-checkout "$src" "$1"
  git -C "$1" checkout -q --detach "$commit"
}

# build NAME DIR TZ LOCALE UMASK HOST: make deb in DIR, in a shell of its own with those settings
# (and a host name of its own where a UTS namespace can be had).
build() {
  local name=$1 dir=$2 tz=$3 locale=$4 mask=$5 host=$6 start=$SECONDS
  echo "== build $name: $dir (TZ=$tz LC_ALL=$locale umask $mask host $host)"
  local cmd="umask $mask; cd '$dir' && env -u SOURCE_DATE_EPOCH TZ=$tz LC_ALL=$locale make deb"
  if unshare --uts true 2>/dev/null; then
    unshare --uts bash -c "hostname $host; $cmd" >"$work/build-$name.log" 2>&1
  else
    bash -c "$cmd" >"$work/build-$name.log" 2>&1
  fi || { tail -30 "$work/build-$name.log"; echo "build $name failed (log: $work/build-$name.log)"; keep=1; exit 1; }
  echo "   $((SECONDS - start)) s"
}

status=0
# compare A B WHAT: fails the check, with diffoscope's account, when A and B differ.
compare() {
  sha256sum "$1" "$2" | sed "s#$work/##"
  if cmp -s "$1" "$2"; then
    echo "   the same: $3"
    return
  fi
  echo "FAIL: $3 differ"
  if command -v diffoscope >/dev/null; then
    diffoscope --no-progress "$1" "$2" | head -200 || true
  else
    echo "(install diffoscope to see how)"
  fi
  status=1
}

umask 022
clone "$work/a/esm-synth"
if [[ $use_reprotest -eq 1 ]]; then
  start=$SECONDS
  echo "== reprotest: two builds of $work/a/esm-synth"
  # Another build user needs an account set aside for it; everything else is varied.
  if ! (cd "$work" && reprotest --vary=-user_group --min-cpus="$(nproc)" \
          --store-dir="$work/reprotest" -c 'make deb' "$work/a/esm-synth" 'build-deb/*.deb' \
          >"$work/reprotest.log" 2>&1); then
    tail -40 "$work/reprotest.log"
    [[ -f "$work/reprotest/experiment-1.diffoscope.out" ]] &&
      head -200 "$work/reprotest/experiment-1.diffoscope.out"
    echo "FAIL: reprotest (log: $work/reprotest.log)"
    status=1
  fi
  grep -E '^(Reproduction|No differences|[0-9a-f]{64} )' "$work/reprotest.log" || true
  echo "   $((SECONDS - start)) s"
  a=$(echo "$work"/reprotest/control/source-root/build-deb/*.deb)
else
  build a "$work/a/esm-synth" UTC C.UTF-8 022 repro-a
  a=$(echo "$work"/a/esm-synth/build-deb/*.deb)
  umask 002
  clone "$work/second/tree/clone/src"
  umask 022
  build b "$work/second/tree/clone/src" Pacific/Kiritimati POSIX 002 repro-b
  compare "$a" "$(echo "$work"/second/tree/clone/src/build-deb/*.deb)" "the packages of two clones"
fi
[[ -f $a ]] || { echo "FAIL: no package was built"; keep=1; exit 1; }

echo "== make dist, twice"
(cd "$work/a/esm-synth" && TZ=UTC make -s dist >/dev/null && mv esm-synth-*.tar.gz "$work/dist-1.tar.gz")
sleep 1
(cd "$work/a/esm-synth" && TZ=Asia/Kathmandu make -s dist >/dev/null && mv esm-synth-*.tar.gz "$work/dist-2.tar.gz")
compare "$work/dist-1.tar.gz" "$work/dist-2.tar.gz" "the two tarballs"

# The tarball elsewhere, deeper, with group-writable files, and no git.
umask 002
mkdir -p "$work/third/from-tarball"
tar --no-same-permissions -xzf "$work/dist-1.tar.gz" -C "$work/third/from-tarball"
umask 022
dir=$(echo "$work"/third/from-tarball/esm-synth-*)
[[ ! -e "$dir/.git" ]] || { echo "FAIL: the tarball holds .git"; exit 1; }
build tarball "$dir" Etc/GMT+12 POSIX 002 repro-tarball
compare "$a" "$(echo "$dir"/build-deb/*.deb)" "the packages of the clone and of the tarball"

if [[ $status -eq 0 ]]; then
  echo "reproducible-check: PASS ($(basename "$a"): $(sha256sum "$a" | cut -c1-16)...)"
else
  keep=1
  echo "reproducible-check: FAIL"
fi
exit $status
