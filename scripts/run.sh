#!/usr/bin/env bash
# The main job on a fresh machine: install what is needed, build the engine
# library, the vendor modules and the host tool, then run the host tool's
# demo: in a fresh installation root with the OpenSSL reference module, a bank
# and its abonents generate keys, get certificates, exchange transfers,
# encrypt, sign, revoke and replace keys remotely, through the engine's
# exports as a banking client calls them. The abonents' keys are under a
# passphrase from the PIN source env:CRYPTLIB_DEMO_PASSPHRASE, which the demo
# sets itself. The demo exits non-zero when a
# step fails. Before it, the self-check binds every export with the module
# installed and without one.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake --preset default
cmake --build --preset default
tool=./build/default/tools/cryptlib-host
module=build/default/mplug/reference/mplug2.so
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
"$tool" init-root "$root" --force
"$tool" --version --root "$root"
echo "== self-check with the reference vendor module"
"$tool" selfcheck --root "$root" | tail -n 3
echo "== self-check without a vendor module"
"$tool" selfcheck --root "$root/none" | tail -n 3
echo "== demo (RSA keys; run it with --keys ecdsa or --keys gost for the others)"
"$tool" demo --module "$module" "$@"
