#!/usr/bin/env bash
# Checks the esm-synth Debian package as an operator meets it:
#  - lintian reports no error;
#  - it holds the programs, the systemd units (esm-synthd.socket, esm-synthd.service,
#    slp-da.service) where systemd reads them, the settings and the sample configuration under
#    /etc, all of them conffiles, the README, the licence, the Prometheus rules, and a man page
#    and a bash completion for each program;
#  - the programs unpacked from it run (--version), their completion offers every option their
#    --help lists, and the rules pass their promtool tests (when promtool is there);
#  - the units pass systemd-analyze verify and the services have an exposure of at most 3.0;
#  - the maintainer scripts do what dh_installsystemd's do: run with systemd, daemon-reload and
#    deb-systemd-invoke replaced by recorders (in a mount namespace of their own, so nothing on
#    the machine changes), each case of a table calls exactly the actions expected, and none
#    calls systemctl or deb-systemd-invoke where systemd is not running.
# With --install it also installs the package with dpkg -i, checks the files in place, the
# programs, the units against the installed programs and that deb-systemd-helper recorded the
# enablement of the socket and slp-da while nothing was started (no systemd runs here), and
# purges it again, checking that the enablement is gone (root only; it changes the machine).
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
rules=usr/share/esm-synth/prometheus
completions=usr/share/bash-completion/completions
expected=(etc/default/esm-synthd etc/default/slp-da etc/esm-synth/gnp.coords
          etc/esm-synth/slp.reg etc/esm-synth/abone/sc.linux
          usr/share/doc/esm-synth/README.md usr/share/doc/esm-synth/copyright
          usr/share/doc/esm-synth/changelog.gz
          $rules/esm-synth.rules.yml $rules/esm-synth.rules.test.yml)
for p in "${required[@]}"; do expected+=("usr/bin/$p"); done
for p in "${programs[@]}"; do
  [[ ! -d man ]] || grep -Eq "^usr/share/man/man[18]/$p\.[18]\.gz$" "$work/files" || fail "no man page for $p"
  grep -qx "$completions/$p" "$work/files" || fail "no bash completion for $p"
done
for f in "${expected[@]}"; do
  grep -qx "$f" "$work/files" || fail "missing $f"
done
unit_names=(esm-synthd.socket esm-synthd.service slp-da.service)
for unit in "${unit_names[@]}"; do
  grep -Eqx "(usr/)?lib/systemd/system/$unit" "$work/files" || fail "$unit is not where systemd reads units"
done
if grep -E '\.(service|socket)$' "$work/files" | grep -Evq '^(usr/)?lib/systemd/system/'; then
  fail "a unit outside the systemd unit directory"
fi

# Every file under /etc, and nothing else, is a conffile.
grep '^etc/' "$work/files" | sed 's#^#/#' >"$work/etc-files"
if ! diff <(sort "$work/control/conffiles") "$work/etc-files" >"$work/conffiles.diff"; then
  fail "conffiles differ from the files under /etc:"
  cat "$work/conffiles.diff"
fi

# check_versions ROOT: every program answers --version with "NAME VERSION" and status 0: the
# loader found every library and nothing crashed.
check_versions() {
  local p out status
  for p in "${programs[@]}"; do
    set +e
    out=$(timeout 5 "$1/usr/bin/$p" --version 2>&1)
    status=$?
    set -e
    [[ $status -eq 0 ]] || fail "$p --version ended with status $status: $out"
    [[ "$out" == "$p $version" ]] || fail "$p --version printed '$out', not '$p $version'"
    echo "$p --version: $out"
  done
}

echo "== programs unpacked from the package"
dpkg-deb -x "$deb" "$work/root"
check_versions "$work/root"
"$work/root/etc/esm-synth/abone/sc.linux" --help >/dev/null || fail "sc.linux --help"
grep -qx 'License: Expat' "$work/root/usr/share/doc/esm-synth/copyright" ||
  fail "the copyright file names no licence"

echo "== bash completion"
if [[ -r /usr/share/bash-completion/bash_completion ]]; then
  scripts/check-completion.sh "$work/root/usr/bin" "$work/root/$completions" ||
    fail "bash completion"
else
  echo "skipped: bash-completion is not installed"
fi

echo "== Prometheus rules"
if command -v promtool >/dev/null; then
  promtool check rules "$work/root/$rules/esm-synth.rules.yml" || fail "promtool check rules"
  (cd "$work/root/$rules" && promtool test rules esm-synth.rules.test.yml) || fail "promtool test rules"
else
  echo "skipped: promtool is not installed (make rules-check installs it)"
fi

echo "== units"
unitdir=$(dirname "$(grep -E 'lib/systemd/system/esm-synthd.service$' "$work/files")")
units=()
for unit in "${unit_names[@]}"; do units+=("$work/root/$unitdir/$unit"); done
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
  [[ $u == *.service ]] || continue
  systemd-analyze security --offline=true --threshold=$max_exposure "$u" >"$work/security" 2>&1 ||
    fail "$(basename "$u"): exposure above 3.0"
  grep 'Overall exposure' "$work/security"
done

# The socket starts the service, on the port the daemon is told by default.
service="$work/root/$unitdir/esm-synthd.service"
grep -qx 'Requires=esm-synthd.socket' "$service" || fail "esm-synthd.service does not require its socket"
socket_port=$(sed -n 's/^ListenStream=\(.*:\)\{0,1\}\([0-9]*\)$/\2/p' "$work/root/$unitdir/esm-synthd.socket")
default_port=$(sed -n 's/^ESM_PORT=//p' "$work/root/etc/default/esm-synthd")
[[ -n $socket_port && $socket_port == "$default_port" ]] ||
  fail "esm-synthd.socket listens on '$socket_port', the daemon's ESM_PORT is '$default_port'"

echo "== maintainer scripts"
for script in postinst prerm postrm; do
  if [[ -f "$work/control/$script" ]]; then
    sh -n "$work/control/$script" || fail "$script: syntax"
  else
    fail "no $script"
  fi
done
# run_script RUNNING SCRIPT ARGS...: runs the package's maintainer script in a mount namespace of
# its own (fresh /var/lib and /run; /run/systemd/system exists when RUNNING is 1), with
# deb-systemd-helper, deb-systemd-invoke and systemctl replaced by recorders; prints the
# recorded actions (the helper's queries left out).
stubs="$work/stubs"
mkdir -p "$stubs"
for cmd in deb-systemd-helper deb-systemd-invoke systemctl; do
  printf '#!/bin/sh\necho "%s $*" >>"$STUB_LOG"\n' "$cmd" >"$stubs/$cmd"
  chmod 755 "$stubs/$cmd"
done
# deb-systemd-helper enables units with systemctl --root=/, which edits files and needs no
# running systemd: that call goes through.
real_systemctl=$(command -v systemctl || echo /bin/systemctl)
cat >"$stubs/systemctl" <<EOF
#!/bin/sh
case "\$*" in --root=*) exec $real_systemctl "\$@" ;; esac
echo "systemctl \$*" >>"\$STUB_LOG"
EOF
run_script() {
  local running=$1 script=$2
  shift 2
  : >"$work/stub.log"
  STUB_LOG="$work/stub.log" PATH="$stubs:$PATH" unshare --mount --propagation private sh -c '
    mount -t tmpfs none /var/lib && mount -t tmpfs none /run || exit 99
    [ "$1" = 0 ] || mkdir -p /run/systemd/system
    shift
    exec "$@"' _ "$running" "$work/control/$script" "$@" || echo "(status $?)" >>"$work/stub.log"
  { grep -Ev '^deb-systemd-helper (unmask|--quiet was-enabled) ' "$work/stub.log" || true; } |
    paste -sd ';' -
}
if unshare --mount true 2>/dev/null; then
  enable="deb-systemd-helper enable esm-synthd.socket;deb-systemd-helper enable slp-da.service"
  start="deb-systemd-invoke start esm-synthd.socket slp-da.service"
  # systemd running (1/0) | script and arguments | the actions expected
  cases=(
    "0|postinst configure|$enable"
    "1|postinst configure|$enable;systemctl --system daemon-reload;$start"
    "0|postinst configure 1.0.0|$enable"
    "1|postinst configure 1.0.0|$enable;systemctl --system daemon-reload;deb-systemd-invoke restart slp-da.service;deb-systemd-invoke try-restart esm-synthd.service;$start"
    "0|prerm remove|"
    "1|prerm remove|deb-systemd-invoke stop esm-synthd.socket esm-synthd.service slp-da.service"
    "1|prerm upgrade 1.0.0|"
    "0|postrm remove|"
    "1|postrm remove|systemctl --system daemon-reload"
    "0|postrm purge|deb-systemd-helper purge esm-synthd.socket slp-da.service"
  )
  for c in "${cases[@]}"; do
    IFS='|' read -r running call want <<<"$c"
    # shellcheck disable=SC2086
    got=$(run_script "$running" $call)
    label="$call ($([[ $running == 1 ]] && echo "systemd running" || echo "no systemd"))"
    if [[ "$got" == "$want" ]]; then
      echo "$label: ${got:-nothing}"
    else
      fail "$label: ran '${got}', expected '${want}'"
    fi
  done
else
  echo "skipped: no mount namespace to run them in (run as root)"
fi

if [[ $install -eq 1 ]]; then
  echo "== dpkg -i"
  if dpkg -s esm-synth >/dev/null 2>&1; then
    fail "esm-synth is installed already; not touching it"
  else
    # systemctl and deb-systemd-invoke record any call: without a running systemd the
    # maintainer scripts must not make one. deb-systemd-helper is the real one.
    rm -f "$stubs/deb-systemd-helper"
    : >"$work/stub.log"
    STUB_LOG="$work/stub.log" PATH="$stubs:$PATH" dpkg -i "$deb"
    dpkg -L esm-synth | sort >"$work/installed"
    for f in "${expected[@]}"; do grep -qx "/$f" "$work/installed" || fail "not installed: /$f"; done
    check_versions ""
    systemd-analyze verify --man=no "${unit_names[@]/#//$unitdir/}" ||
      fail "systemd-analyze verify of the installed units"
    wants=(/etc/systemd/system/sockets.target.wants/esm-synthd.socket
           /etc/systemd/system/multi-user.target.wants/slp-da.service)
    for link in "${wants[@]}"; do
      [[ -L $link ]] && echo "enabled: $link -> $(readlink "$link")" || fail "not enabled: $link"
    done
    # deb-systemd-helper's record of what it enabled, which purge reads to undo it.
    dsh=/var/lib/systemd/deb-systemd-helper-enabled
    for i in 0 1; do
      unit=$(basename "${wants[i]}")
      if grep -qxF "${wants[i]}" "$dsh/$unit.dsh-also" 2>/dev/null; then
        echo "recorded: $dsh/$unit.dsh-also"
      else
        fail "deb-systemd-helper has no record of enabling $unit"
      fi
    done
    if [[ -s "$work/stub.log" ]]; then
      fail "installing without systemd ran: $(paste -sd ';' "$work/stub.log")"
    fi
    STUB_LOG="$work/stub.log" PATH="$stubs:$PATH" dpkg --purge esm-synth
    for f in "${expected[@]}" "${wants[@]}"; do [[ ! -e "/$f" && ! -L "/$f" ]] || fail "left after purge: /$f"; done
    for unit in esm-synthd.socket slp-da.service; do
      [[ ! -e "$dsh/$unit.dsh-also" ]] || fail "deb-systemd-helper still records $unit"
    done
    if [[ -s "$work/stub.log" ]]; then
      fail "removing without systemd ran: $(paste -sd ';' "$work/stub.log")"
    fi
  fi
fi

if [[ $failures -eq 0 ]]; then
  echo "check-deb: PASS"
else
  echo "check-deb: FAIL ($failures)"
  exit 1
fi
