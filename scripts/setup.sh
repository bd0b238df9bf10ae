#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when they are missing (the last
# line: what the test of the installation and the .deb checks with).
set -euo pipefail
pkgs=(build-essential cmake ninja-build pkg-config libgtest-dev libgmock-dev libbenchmark-dev
      libgmp-dev nlohmann-json3-dev qt6-base-dev qt6-base-dev-tools libgl-dev clang libclang-rt-14-dev fonts-liberation xvfb xauth
      parallel slurmctld slurmd slurm-client munge dpkg-dev desktop-file-utils systemd man-db
      qt6-httpserver-dev qt6-websockets-dev chromium chromium-driver python3-selenium)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
