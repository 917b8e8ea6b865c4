#!/usr/bin/env bash
# Installs the Debian 12 packages that the build, the tests, the package and the demo need, when missing.
set -euo pipefail
packages=(
  cmake g++ clang make pkg-config
  libboost-regex-dev libboost-filesystem-dev
  libxml2-dev libsystemd-dev libsqlite3-dev libpoppler-cpp-dev
  nlohmann-json3-dev
  libgtest-dev libgmock-dev
  libseccomp-dev scdoc
  debhelper dpkg-dev lintian systemd
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
