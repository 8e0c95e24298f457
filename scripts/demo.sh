#!/usr/bin/env bash
# Builds the module and the package, then shows the store as users meet it:
# the vantre package (a mapping in a `with` block, sync, persist, a reopen),
# then the vantre tool (stats, check, and a dump | load round trip).
# Usage: scripts/demo.sh [--no-build]
#   --no-build  only the demonstration, run by $VANTRE_DEMO_PYTHON (default
#               /usr/bin/python3) with the package found on PYTHONPATH, as
#               the package tests run it under each interpreter
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
python=${VANTRE_DEMO_PYTHON:-/usr/bin/python3}
if [[ ${1:-} != --no-build ]]; then
  "$root/scripts/setup.sh"
  "$root/scripts/build.sh" "$root/build" -DVANTRE_TESTS=OFF
  export PYTHONPATH="$root/build/python"
fi
work=$(mktemp -d /tmp/vantre-demo-XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"

echo "== the vantre package"
"$python" - store <<'PY'
import sys

import vantre

path = sys.argv[1]
with vantre.open(path) as db:                 # a MutableMapping[str, bytes]
    db["user:1"] = b"alice"
    db.update({"user:2": b"bob", "user:3": b"carol"})
    del db["user:3"]
    print("user:1 ->", db["user:1"], "| 'user:3' in db:", "user:3" in db)
    db.sync()                                 # every write so far survives a crash
    db["user:4"] = b"dave"
    db.persist()                              # the same, and a snapshot: the log starts empty
# leaving `with` closed the store and freed its directory
with vantre.open(path, readonly=True) as db:  # reopened: any number of readers
    print("reopened:", len(db), "keys:", dict(db))
PY

vantre() {
  echo "\$ vantre $*"
  "$python" -m vantre "$@"
}
echo
echo "== the vantre tool"
vantre stats store
vantre check store
echo "\$ vantre dump --values store | vantre load copy"
"$python" -m vantre dump --values store | "$python" -m vantre load copy
vantre dump copy
if cmp -s <("$python" -m vantre dump --values store) <("$python" -m vantre dump --values copy); then
  echo "copy holds the same keys and values as store"
else
  echo "copy differs from store" >&2
  exit 1
fi
