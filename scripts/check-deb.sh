#!/usr/bin/env bash
# Checks the esm-synth Debian package as an operator meets it:
#  - lintian reports no error;
#  - it holds the programs, both systemd units where systemd reads them, the settings and the
#    sample configuration under /etc, all of them conffiles, the README, and a man page for
#    each program when the source tree has man pages;
#  - the programs unpacked from it run (--version);
#  - both units pass systemd-analyze verify and have an exposure of at most 3.0.
# With --install it also installs the package with dpkg -i, checks the files in place and the
# units against the installed programs, and purges it again (root only; it changes the machine).
#
# usage: scripts/check-deb.sh [--install] PACKAGE.deb
set -euo pipefail
cd "$(dirname "$0")/.."

install=0
if [[ "${1:-}" == --install ]]; then
  install=1
  shift
fi
[[ $# -eq 1 && -f "$1" ]] || { echo "usage: $0 [--install] PACKAGE.deb" >&2; exit 2; }
deb=$(realpath "$1")
max_exposure=30  # systemd-analyze counts tenths: 3.0

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
work=$(mktemp -d /tmp/esm-deb-check-XXXXXX)
trap 'rm -rf "$work"' EXIT

version=$(dpkg-deb -f "$deb" Version)
echo "== $(basename "$deb"): $(dpkg-deb -f "$deb" Package) $version"

echo "== lintian"
if lintian --fail-on error "$deb" >"$work/lintian" 2>&1; then :; else fail "lintian reports errors"; fi
grep -v '^running with root privileges' "$work/lintian" || true
for level in E W I; do
  printf '%s: %d  ' "$level" "$(grep -c "^$level: " "$work/lintian" || true)"
done
echo

echo "== contents"
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's#^\./##' | grep -v '/$' | sort >"$work/files"
dpkg-deb -e "$deb" "$work/control"
cat "$work/files"
# The programs it must hold; every program it holds is run below.
required=(esm-synthd slp-da esm-synth slp-find slp-reg esm-proxy-sim gnp-monitor)
mapfile -t programs < <(sed -n 's#^usr/bin/##p' "$work/files")
expected=(etc/default/esm-synthd etc/default/slp-da etc/esm-synth/gnp.coords
          etc/esm-synth/slp.reg etc/esm-synth/abone/sc.linux
          usr/share/doc/esm-synth/README.md usr/share/doc/esm-synth/copyright
          usr/share/doc/esm-synth/changelog.gz)
for p in "${required[@]}"; do expected+=("usr/bin/$p"); done
if [[ -d man ]]; then
  for p in "${programs[@]}"; do
    grep -Eq "^usr/share/man/man[18]/$p\.[18]\.gz$" "$work/files" || fail "no man page for $p"
  done
fi
for f in "${expected[@]}"; do
  grep -qx "$f" "$work/files" || fail "missing $f"
done
for unit in esm-synthd.service slp-da.service; do
  grep -Eqx "(usr/)?lib/systemd/system/$unit" "$work/files" || fail "$unit is not where systemd reads units"
done
if grep '\.service$' "$work/files" | grep -Evq '^(usr/)?lib/systemd/system/'; then
  fail "a unit outside the systemd unit directory"
fi
# Every file under /etc, and nothing else, is a conffile.
grep '^etc/' "$work/files" | sed 's#^#/#' >"$work/etc-files"
if ! diff <(sort "$work/control/conffiles") "$work/etc-files" >"$work/conffiles.diff"; then
  fail "conffiles differ from the files under /etc:"
  cat "$work/conffiles.diff"
fi

echo "== programs unpacked from the package"
dpkg-deb -x "$deb" "$work/root"
# Every program answers --version with "NAME VERSION" and status 0: the loader found every
# library and nothing crashed.
for p in "${programs[@]}"; do
  set +e
  out=$(timeout 5 "$work/root/usr/bin/$p" --version 2>&1)
  status=$?
  set -e
  [[ $status -eq 0 ]] || fail "$p --version ended with status $status: $out"
  [[ "$out" == "$p $version" ]] || fail "$p --version printed '$out', not '$p $version'"
  echo "$p --version: $out"
done
"$work/root/etc/esm-synth/abone/sc.linux" --help >/dev/null || fail "sc.linux --help"

echo "== units"
unitdir=$(dirname "$(grep -E 'lib/systemd/system/esm-synthd.service$' "$work/files")")
units=("$work/root/$unitdir/esm-synthd.service" "$work/root/$unitdir/slp-da.service")
# Offline, the programs the units start are only in the unpacked tree: that is the one complaint
# allowed, and only for a program the package holds.
systemd-analyze verify --man=no "${units[@]}" >"$work/verify" 2>&1 || true
while IFS= read -r line; do
  if [[ "$line" =~ Command\ (/[^ ]+)\ is\ not\ executable ]] &&
     [[ -x "$work/root${BASH_REMATCH[1]}" || -x "${BASH_REMATCH[1]}" ]]; then
    continue
  fi
  fail "systemd-analyze verify: $line"
done <"$work/verify"
# The units start their programs through a shell that checks the settings first.
for u in "${units[@]}"; do
  for prog in $(grep -o 'exec /[^ ]*' "$u" | cut -d' ' -f2); do
    [[ -x "$work/root$prog" ]] || fail "$(basename "$u") runs $prog, which the package does not hold"
  done
done
for u in "${units[@]}"; do
  systemd-analyze security --offline=true --threshold=$max_exposure "$u" >"$work/security" 2>&1 ||
    fail "$(basename "$u"): exposure above 3.0"
  grep 'Overall exposure' "$work/security"
done

if [[ $install -eq 1 ]]; then
  echo "== dpkg -i"
  if dpkg -s esm-synth >/dev/null 2>&1; then
    fail "esm-synth is installed already; not touching it"
  else
    dpkg -i "$deb"
    dpkg -L esm-synth | sort >"$work/installed"
    for f in "${expected[@]}"; do grep -qx "/$f" "$work/installed" || fail "not installed: /$f"; done
    for p in "${programs[@]}"; do
      out=$("/usr/bin/$p" --version 2>&1) && echo "$p --version: $out" || true
    done
    systemd-analyze verify --man=no "/$unitdir/esm-synthd.service" "/$unitdir/slp-da.service" ||
      fail "systemd-analyze verify of the installed units"
    dpkg --purge esm-synth
    for f in "${expected[@]}"; do [[ ! -e "/$f" ]] || fail "left after purge: /$f"; done
  fi
fi

if [[ $failures -eq 0 ]]; then
  echo "check-deb: PASS"
else
  echo "check-deb: FAIL ($failures)"
  exit 1
fi
