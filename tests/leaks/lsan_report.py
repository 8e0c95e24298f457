"""Counts the leaks in LeakSanitizer logs that belong to the module.

    lsan_report.py LOG...

A leak report is a block starting "Direct leak" or "Indirect leak" with
its allocation stack; it belongs to the module when a frame of the stack
is in _vantre's shared object or in src/engine or src/binding. Prints the
module's leaks and the closing line; exits 1 if there is any.
"""
import re
import sys

BLOCK = re.compile(r"^(Direct|Indirect) leak of (\d+) byte", re.M)
OURS = re.compile(r"_vantre\.|/src/engine/|/src/binding/|/src/lib\.cpp")


def main(paths):
    ours, others = [], 0
    for path in paths:
        with open(path, errors="replace") as f:
            text = f.read()
        starts = [m.start() for m in BLOCK.finditer(text)] + [len(text)]
        for a, b in zip(starts, starts[1:]):
            block = text[a:b].split("\n\n")[0]
            if OURS.search(block):
                ours.append(block)
            else:
                others += 1
    for block in ours:
        print(block, "\n")
    print(f"leaks: {len(ours)} in the module, {others} elsewhere (the interpreter)")
    print(f"leak check: {0 if ours else 1} passed, {1 if ours else 0} failed")
    return 1 if ours else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
