#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and CI need (as root).
set -euo pipefail
packages=(build-essential cmake ninja-build clang-14 libclang-rt-14-dev googletest libbenchmark-dev libssl-dev
          binutils libengine-gost-openssl openssl fp-compiler libcli11-dev python3 pkg-config dpkg-dev valgrind
          softhsm2 libengine-pkcs11-openssl libp11-kit-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi
