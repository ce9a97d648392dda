#!/bin/bash
# prereqs.sh - installs what building and testing zvgm need on Debian, and
# only what is missing (so a prepared machine makes no network access).
set -euo pipefail

# Build and unit tests; the clang build and fuzzing (xxd for the capture
# corpus); the JVM and group tests in the testbed (jq reads the operator's
# command's JSON); benchmarks; install and package tests (pkg-config, and
# dpkg-dev and file for the packages' dependencies); the capture dissector.
pkgs=(g++ make cmake libgtest-dev googletest
      clang libclang-rt-14-dev llvm xxd
      openjdk-17-jdk-headless binutils iproute2 nftables ksh util-linux mount
      procps coreutils locales jq
      libbenchmark-dev libssl-dev
      pkg-config dpkg-dev file tshark)
# The operator's command: its option parsing (CLI11), its JSON
# (nlohmann-json), the web server of zvgm serve (libmicrohttpd); the tests of
# zvgm serve: Prometheus (promtool checks the metrics and the alert rules; a
# Prometheus in the testbed scrapes it) and a headless Chromium that loads the
# live page.
pkgs+=(libcli11-dev nlohmann-json3-dev libmicrohttpd-dev prometheus chromium)
# The Debian packages: dpkg-buildpackage with debhelper and the build
# dependencies of debian/control beyond the above (build-essential,
# default-jdk-headless); the package test: lintian, hardening-check and dcmd
# (devscripts), autopkgtest, systemd-analyze (systemd) for the service unit,
# man and groff (man-db, groff-base) for the manual pages, and what the
# autopkgtest suite needs (debian/tests/control: curl for zvgm serve);
# scripts/check-minimal.sh builds a minimal Debian with debootstrap.
pkgs+=(build-essential debhelper default-jdk-headless devscripts autopkgtest lintian
       systemd man-db groff-base curl debootstrap)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' ||
    missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" != 0 ]; then
  echo "prereqs: missing packages: ${missing[*]} (run as root to install them)" >&2
  exit 1
fi
echo "prereqs: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q </dev/null
apt-get install -y -q --no-install-recommends "${missing[@]}" </dev/null
