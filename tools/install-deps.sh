#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need (run as root).
set -euo pipefail
packages=(g++ cmake make python3 libgtest-dev libgmock-dev clang libssl-dev openssl zlib1g-dev gzip
          libpng-dev libturbojpeg0-dev libgif-dev libtiff-dev libjpeg-turbo-progs libcurl4-openssl-dev ca-certificates
          libx11-dev libxrandr-dev libcairo2-dev xvfb xdotool x11-xserver-utils python3-tk python3-pyte)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${CI:-}" = "true" ] || [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${packages[@]}"
fi
