#!/usr/bin/env bash
# Installs, only when missing, every Debian package the project builds, tests and runs with.
set -euo pipefail
PKGS=(cmake g++ ninja-build make pkg-config
      libwxgtk3.2-dev libwxgtk-gl3.2-1 libgl-dev libglu1-mesa-dev libwxbase3.2-1
      libalglib-dev libpcap-dev libmodbus-dev
      googletest libgtest-dev libgmock-dev libbenchmark-dev
      clang libclang-rt-14-dev
      xvfb xauth libgl1-mesa-dri iproute2 ccache locales
      x11-apps xdotool)  # xwd and xdotool: driving the application on a virtual display for docs screenshots
SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
# A German locale (decimal comma) for the test that parameter files ignore
# the numeric locale.
if ! locale -a 2>/dev/null | grep -qix 'de_DE\.utf-\?8'; then
  echo "setup: generating de_DE.UTF-8"
  $SUDO sed -i 's/^# *de_DE.UTF-8 UTF-8/de_DE.UTF-8 UTF-8/' /etc/locale.gen 2>/dev/null || true
  grep -q '^de_DE.UTF-8 UTF-8' /etc/locale.gen 2>/dev/null ||
    echo 'de_DE.UTF-8 UTF-8' | $SUDO tee -a /etc/locale.gen >/dev/null
  $SUDO locale-gen >/dev/null
fi
