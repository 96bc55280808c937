#!/usr/bin/env bash
# Installs what building, testing and running K5320 needs (Debian 12, as root).
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  clang-format
  clang-14 libclang-rt-14-dev
  binutils procps
  python3 python3-crcmod python3-can
  can-utils man-db groff-base
  qt6-base-dev qt6-qpa-plugins fonts-dejavu-core
  # the install test (man --warnings) and the Debian package (cpack -G DEB: dpkg-shlibdeps, file)
  man-db dpkg-dev file
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -q
  $sudo_cmd apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
