#!/usr/bin/env bash
# Installs every Debian package the build, the tests, the tools and the demo need.
# Idempotent: quiet when everything is present, runs apt-get update only when something is missing.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config g++ clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libusb-1.0-0-dev libhidapi-dev libudev-dev zlib1g-dev libcurl4-openssl-dev
  libczmq-dev libzmq3-dev
  libcpp-httplib-dev
  umockdev libumockdev-dev libglib2.0-dev
  util-linux iproute2 socat time
  lpc21isp imx-usb-loader openssl groff-base
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
