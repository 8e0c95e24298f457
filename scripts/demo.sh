#!/usr/bin/env bash
# Builds the module and runs a short demonstration of the store.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build" -DVANTRE_TESTS=OFF
PYTHONPATH="$root/build/python" /usr/bin/python3 "$root/examples/demo.py"
