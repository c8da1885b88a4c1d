#!/usr/bin/env bash
# Checks that the Debian package is reproducible: builds it twice from one commit, in fresh trees
# at different paths, at different times, under different time zones, locales, umasks and host
# names, and compares the two packages byte for byte; on a difference diffoscope shows it and
# the check fails. Also checks that `make dist` gives the same tarball twice.
#
# The first tree is a git clone; the second is the `make dist` tarball of the first, unpacked
# without git (so the check also shows that such a tree builds, with the same version and date),
# or a second clone with --clones.
#
# usage: scripts/reproducible-check.sh [--clones] [--keep] [COMMIT]    (default: HEAD)
set -euo pipefail
cd "$(dirname "$0")/.."
src=$(pwd)

second=dist
keep=0
while [[ $# -gt 0 && "$1" == --* ]]; do
  case "$1" in
    --clones) second=clone ;;
    --keep) keep=1 ;;
    *) echo "usage: $0 [--clones] [--keep] [COMMIT]" >&2; exit 2 ;;
  esac
  shift
done
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
# (and a host name of its own where a UTS namespace can be had); prints how long it took.
build() {
  local name=$1 dir=$2 tz=$3 locale=$4 mask=$5 host=$6 start
  start=$(date +%s)
  echo "== build $name: $dir (TZ=$tz LC_ALL=$locale umask $mask host $host)"
  local cmd="umask $mask; cd '$dir' && env -u SOURCE_DATE_EPOCH TZ=$tz LC_ALL=$locale make deb"
  if unshare --uts true 2>/dev/null; then
    unshare --uts bash -c "hostname $host; $cmd" >"$work/build-$name.log" 2>&1
  else
    bash -c "$cmd" >"$work/build-$name.log" 2>&1
  fi || { tail -30 "$work/build-$name.log"; echo "build $name failed (log: $work/build-$name.log)"; keep=1; exit 1; }
  echo "   $(($(date +%s) - start)) s"
}

umask 022
clone "$work/a/esm-synth"
build a "$work/a/esm-synth" UTC C.UTF-8 022 repro-a

echo "== make dist, twice"
(cd "$work/a/esm-synth" && TZ=UTC make -s dist >/dev/null && mv esm-synth-*.tar.gz "$work/dist-1.tar.gz")
sleep 1
(cd "$work/a/esm-synth" && TZ=Asia/Kathmandu make -s dist >/dev/null && mv esm-synth-*.tar.gz "$work/dist-2.tar.gz")
sha256sum "$work"/dist-*.tar.gz | sed "s#$work/##"
dist_same=1
cmp -s "$work/dist-1.tar.gz" "$work/dist-2.tar.gz" || dist_same=0

# The second tree: elsewhere, deeper, with group-writable files.
umask 002
if [[ $second == dist ]]; then
  mkdir -p "$work/second/tree/from-tarball"
  tar --no-same-permissions -xzf "$work/dist-1.tar.gz" -C "$work/second/tree/from-tarball"
  dir=$(echo "$work"/second/tree/from-tarball/esm-synth-*)
  [[ ! -e "$dir/.git" ]] || { echo "the tarball holds .git"; exit 1; }
else
  dir="$work/second/tree/clone/src"
  clone "$dir"
fi
umask 022
build b "$dir" Pacific/Kiritimati POSIX 002 repro-b

a=$(echo "$work"/a/esm-synth/build-deb/*.deb)
b=$(echo "$dir"/build-deb/*.deb)
echo "== packages"
sha256sum "$a" "$b" | sed "s#$work/##"
status=0
if [[ $dist_same -eq 0 ]]; then
  echo "FAIL: make dist gave two different tarballs"
  status=1
fi
if ! cmp -s "$a" "$b"; then
  echo "FAIL: the two packages differ"
  if command -v diffoscope >/dev/null; then
    diffoscope --no-progress "$a" "$b" | head -200 || true
  else
    echo "(install diffoscope to see how)"
  fi
  status=1
fi
if [[ $status -eq 0 ]]; then
  echo "reproducible-check: PASS ($(basename "$a") and the tarball, each built twice the same)"
else
  keep=1
  echo "reproducible-check: FAIL"
fi
exit $status
