#!/usr/bin/env bash
# Builds the Debian package, installs it on this machine the way a user
# does (apt-get install ./<package>.deb), checks what it installed and runs
# the demo and a host's build from the installed paths. Needs root (apt-get).
#   scripts/ci-package.sh [--keep-installed]
# The package is removed at the end unless --keep-installed is given. The
# build directory is build/package, or $CRYPTLIB_PACKAGE_BUILD (CI may reuse
# the default preset's directory, which then installs under /usr).
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$PWD
build=${CRYPTLIB_PACKAGE_BUILD:-$source_dir/build/package}
keep=${1:-}

if [ -f "$build/CMakeCache.txt" ]; then
  cmake -S "$source_dir" -B "$build" -DCMAKE_INSTALL_PREFIX=/usr
else
  cmake -S "$source_dir" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
    -DCRYPTLIB_BUILD_TESTS=OFF -DCRYPTLIB_BUILD_BENCH=OFF
fi
cmake --build "$build" -j2 --target CryptLib cryptlib-host reference_mplug
(cd "$build" && cpack -G DEB)
package=$(ls "$build"/cryptlib_*.deb | head -1)
echo "== package $package"
dpkg-deb --contents "$package"

installed=0
cleanup() {
  if [ "$installed" = 1 ] && [ "$keep" != "--keep-installed" ]; then
    apt-get remove -y cryptlib >/dev/null || true
  fi
}
trap cleanup EXIT
export DEBIAN_FRONTEND=noninteractive
apt-get install -y "$package"
installed=1

arch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)
libdir=/usr/lib/$arch
echo "== installed paths"
for file in /usr/bin/cryptlib-host "$libdir/CryptLib.so" "$libdir/cryptlib/mplug2.so" /usr/include/cryptlib/cryptlib.h \
  "$libdir/pkgconfig/cryptlib.pc" "$libdir/cmake/CryptLib/CryptLibConfig.cmake" \
  /usr/share/bash-completion/completions/cryptlib-host; do
  test -e "$file" || { echo "missing: $file" >&2; exit 1; }
done
# Run paths relative to the files ($ORIGIN), never a build directory.
if readelf -d /usr/bin/cryptlib-host | grep -E 'R(UN)?PATH' | grep -v '\$ORIGIN'; then
  echo "the tool's run path is not relative" >&2
  exit 1
fi
readelf -n "$libdir/CryptLib.so" | grep -q CryptLib || { echo "CryptLib.so has no version note" >&2; exit 1; }

echo "== the tool from the installed paths"
work=$(mktemp -d)
trap 'rm -rf "$work"; cleanup' EXIT
cd "$work"
cryptlib-host --version
cryptlib-host selfcheck >/dev/null
cryptlib-host init-root "$work/root"
cryptlib-host --version --root "$work/root" | grep -q "module_version: 2.0.0.0"
cryptlib-host demo
ls /usr/share/man/man1/cryptlib-host.1*

echo "== a host compiled against the installed interface"
cat > host.c <<'HOST'
#include <cryptlib.h>
#include <stdio.h>
int main(void) {
  CRYPT_HANDLE engine = GetCryptObj();
  if (engine == NULL) return 1;
  printf("engine created: %d parameters\n", GetCryptoParamNumber(engine));
  DoneEngine(engine);
  return 0;
}
HOST
cc host.c $(pkg-config --cflags --libs cryptlib) -o host-pc
./host-pc
mkdir cmake-host
cat > cmake-host/CMakeLists.txt <<'HOST'
cmake_minimum_required(VERSION 3.25)
project(host C)
find_package(CryptLib 2 REQUIRED)
add_executable(host ../host.c)
target_link_libraries(host PRIVATE CryptLib::CryptLib)
# a host that loads the library by name needs the header alone
add_library(header-only OBJECT ../host.c)
target_link_libraries(header-only PRIVATE CryptLib::headers)
HOST
cmake -S cmake-host -B cmake-host/build >/dev/null
cmake --build cmake-host/build >/dev/null
./cmake-host/build/host
echo "== package checks passed"
