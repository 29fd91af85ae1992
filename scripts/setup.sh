#!/usr/bin/env bash
# Installs what building and testing libVorlan needs, when it is missing.
# Idempotent; runs in seconds when everything is present. Needs root.
set -euo pipefail

packages=(g++ clang cmake ninja-build pkg-config binutils
  libapr1-dev libaprutil1-dev libcurl4-openssl-dev libxml2-dev libssl-dev
  libgtest-dev libgmock-dev libbenchmark-dev clang-format libclang-rt-14-dev
  xvfb tinyproxy python3 openssl)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
