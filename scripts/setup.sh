#!/usr/bin/env bash
# Installs, only when missing, every Debian package the project builds, tests and runs with.
set -euo pipefail
PKGS=(cmake g++ ninja-build make pkg-config
      libwxgtk3.2-dev libwxgtk-gl3.2-1 libgl-dev libglu1-mesa-dev libwxbase3.2-1
      libalglib-dev libpcap-dev
      googletest libgtest-dev libgmock-dev libbenchmark-dev
      clang libclang-rt-14-dev
      xvfb xauth libgl1-mesa-dri iproute2 ccache)
missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
  echo "setup: installing ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
