#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is missing.
# Needs root to install; without root it only reports what is missing.
set -euo pipefail

packages=(cmake make g++ pkg-config libxml2-dev libsystemd-dev libgtest-dev libgmock-dev
          libbenchmark-dev python3 iproute2 procps help2man
          python3-prometheus-client)
# clang-format checks the layout of the tree in CI.
if [[ "${WITH_FORMAT:-0}" == 1 ]]; then
  packages+=(clang-format)
fi
# clang and its runtime build the fuzz targets; optional for a plain build.
if [[ "${WITH_CLANG:-0}" == 1 ]]; then
  packages+=(clang libclang-rt-dev)
fi
# Building and checking the Debian package: dpkg-shlibdeps and dpkg-buildflags, lintian, and
# systemd-analyze (with the unit directory systemd's pkg-config file names).
if [[ "${WITH_PACKAGING:-0}" == 1 ]]; then
  packages+=(dpkg-dev lintian systemd bash-completion)
fi
# promtool, which checks and tests the Prometheus rules (make rules-check).
if [[ "${WITH_PROMETHEUS:-0}" == 1 ]]; then
  packages+=(prometheus)
fi
# bash-completion, whose helpers the completion scripts use (make completion-check).
if [[ "${WITH_COMPLETION:-0}" == 1 ]]; then
  packages+=(bash-completion)
fi
# Building twice under varied conditions and showing how two builds differ
# (make reproducible-check): reprotest with the tools of its variations, diffoscope.
if [[ "${WITH_REPRO:-0}" == 1 ]]; then
  packages+=(reprotest faketime disorderfs diffoscope-minimal)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

if [[ $(id -u) -ne 0 ]]; then
  echo "missing packages: ${missing[*]} (run as root, or install them with apt-get)" >&2
  exit 1
fi
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
