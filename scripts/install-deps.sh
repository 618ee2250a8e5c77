#!/bin/sh
# Installs the Debian packages the build and the tests need, only when some are missing.
set -e
pkgs="make cmake g++ python3-dev python3-numpy python3-pytest libgtest-dev verilator iverilog python3-mpmath python3-hypothesis $*"
missing=""
for p in $pkgs; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $p"
  fi
done
[ -z "$missing" ] && exit 0
echo "installing:$missing"
if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends $missing
