"""Disk full for real: a store on a small tmpfs (or, where mounting is
refused, under a file-size limit) is filled by writes, persist and vacuum;
then space is freed, more writes are acknowledged before and after a
persist, the store is freed, and a reopen must read every acknowledged
write. The filesystem is a small tmpfs and an ext4 image on a loop device,
in turn (their blocks are allocated at different moments).

    diskfull.py [--rounds N] [--seed S] [--fs tmpfs,ext4]

The child journals acknowledged and failed writes to a file outside the
small filesystem. A failed write may or may not have taken effect; an
acknowledged one must be there. Each round uses other value sizes.
"""
import argparse
import os
import resource
import shutil
import signal
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "harness"))
import common  # noqa: E402

SMALL = 3 * 1024 * 1024      # the full filesystem, or the file-size limit
EXT4_SIZE = 32 * 1024 * 1024  # the ext4 image; a ballast file leaves SMALL free
ERRORS_BEFORE_FREEING = 20   # failed writes after the disk first fills
WRITES_AFTER_FREEING = 20    # writes acknowledged once space is back, per phase


def child(path, journal_path, seed, limit):
    import random
    from _vantre import Vantre
    rng = random.Random(seed)
    if limit:
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, resource.RLIM_INFINITY))
    journal = os.open(journal_path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
    note = lambda text: os.write(journal, (text + "\n").encode())
    db = Vantre(path)
    errors, seq = 0, 0
    big = rng.choice([100, 3000, 20000])
    keyspace = max(2000, 2 * SMALL // big)  # enough live data to fill SMALL
    while errors < ERRORS_BEFORE_FREEING and seq < 200000:
        seq += 1
        key = f"k{rng.randrange(keyspace)}"
        length = rng.randrange(big)
        op = rng.random()
        try:
            if op < 0.9:
                db.set_bytes(key, common.value_for(key, seq, length))
                note(f"A {seq} put {key} {length}")
            elif op < 0.97:
                db.delete(key)
                note(f"A {seq} del {key} 0")
            else:
                getattr(db, "persist" if op < 0.99 else "vacuum")()
        except BaseException as e:  # noqa: B902 - panics derive from BaseException
            errors += 1
            if op < 0.97:
                note(f"F {seq} {'put' if op < 0.9 else 'del'} {key} {length}")
            note(f"E {type(e).__name__}: {e}")
    print("full", flush=True)
    sys.stdin.readline()  # the parent frees space
    if limit:
        resource.setrlimit(resource.RLIMIT_FSIZE, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
    # Space is back: writes are acknowledged again, and kept, before and
    # after a persist, which works again too.
    for phase in ("before persist", "after persist"):
        for _ in range(WRITES_AFTER_FREEING):
            seq += 1
            key = f"k{rng.randrange(keyspace)}"
            length = rng.randrange(big)
            db.set_bytes(key, common.value_for(key, seq, length))
            note(f"A {seq} put {key} {length}")
        if phase == "before persist":
            db.persist()
    del db
    common.collect()


def expected(journal_path):
    """Per key: the values it may read (None for absent)."""
    allowed = {}
    with open(journal_path) as f:
        for line in f:
            parts = line.split()
            if parts[0] not in ("A", "F"):
                continue
            kind, seq, op, key, length = parts
            value = common.value_for(key, int(seq), int(length)) if op == "put" else None
            if kind == "A":
                allowed[key] = {value}
            else:
                allowed.setdefault(key, {None}).add(value)
    return allowed


def mount_small(root, kind):
    """Mounts a small filesystem at root/mnt: a tmpfs, or an ext4 image on a
    loop device (whose blocks are reserved at write time and allocated at
    write-back, unlike a tmpfs's). Returns its path or None."""
    mnt = os.path.join(root, "mnt")
    os.mkdir(mnt)
    if kind == "tmpfs":
        cmd = ["mount", "-t", "tmpfs", "-o", f"size={SMALL}", "tmpfs", mnt]
    else:
        image = os.path.join(root, "ext4.img")
        with open(image, "wb") as f:
            f.truncate(EXT4_SIZE)
        if subprocess.run(["mkfs.ext4", "-q", "-F", image], capture_output=True).returncode:
            return None
        cmd = ["mount", "-o", "loop", image, mnt]
    return mnt if subprocess.run(cmd, capture_output=True).returncode == 0 else None


def ballast(mnt, on):
    """On ext4, a file taking all but SMALL bytes of the free space: removing
    it is how space comes back."""
    path = os.path.join(mnt, "ballast")
    if not on:
        os.remove(path)
        return
    st = os.statvfs(mnt)
    size = max(0, st.f_bavail * st.f_frsize - SMALL)
    with open(path, "wb") as f:
        os.posix_fallocate(f.fileno(), 0, size)


def one_round(tally, rng, root, index, mnt, kind):
    case = f"round {index} ({kind if mnt else 'file-size limit'})"
    if mnt and kind == "ext4":
        ballast(mnt, True)
    base = mnt or os.path.join(root, "plain")
    path = os.path.join(base, f"store{index}")
    journal = os.path.join(root, f"journal{index}")
    proc = common.spawn([os.path.abspath(__file__), "--child", path, journal,
                         str(rng.randrange(1 << 30)), "0" if mnt else str(SMALL)],
                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                        text=True)
    line = proc.stdout.readline()
    if line.strip() == "full" and mnt:
        if kind == "ext4":
            ballast(mnt, False)
        else:
            subprocess.run(["mount", "-o", "remount,size=256M", mnt], check=True)
    out, err = proc.communicate("go\n", timeout=300)
    if proc.returncode != 0:
        known = "F5" if proc.returncode == -signal.SIGBUS else None
        tally.fail(case, f"child ended with {proc.returncode}: {err.strip()[-300:]}", known=known)
    else:
        allowed = expected(journal)
        try:
            got = common.open_read_close(path)
            lost = [k for k, vals in allowed.items() if got.get(k) not in vals]
            tally.figure("writes acknowledged", sum(1 for v in allowed.values() if len(v) == 1))
            with open(journal) as f:
                errors = [line[2:].strip() for line in f if line.startswith("E ")]
            tally.figure("calls refused while full", len(errors))
            if not errors:
                tally.fail(case, "the filesystem never filled: nothing was tested")
                return
            tally.figure("keys lost", len(lost))
            if lost:
                tally.fail(case, f"{len(lost)} acknowledged keys lost or wrong, e.g. {lost[:3]}",
                           known="F6")
            else:
                tally.ok()
        except BaseException as e:  # noqa: B902
            tally.fail(case, f"reopen failed: {type(e).__name__}: {e}")
    if mnt:
        shutil.rmtree(path, ignore_errors=True)
        if kind == "tmpfs":
            subprocess.run(["mount", "-o", f"remount,size={SMALL}", mnt], check=True)
        elif os.path.exists(os.path.join(mnt, "ballast")):
            os.remove(os.path.join(mnt, "ballast"))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rounds", type=int, default=6)
    ap.add_argument("--seed", type=int)
    ap.add_argument("--fs", default="tmpfs,ext4",
                    help="filesystems to fill, in turn: tmpfs, ext4 (a loop-mounted image)")
    ap.add_argument("--child", nargs=4)
    args = ap.parse_args()
    if args.child:
        return child(args.child[0], args.child[1], int(args.child[2]), int(args.child[3]))
    rng, _ = common.seeded(args.seed)
    tally = common.Tally("disk full")
    for kind in args.fs.split(","):
        root = tempfile.mkdtemp(prefix="vantre-diskfull-")
        try:
            mnt = mount_small(root, kind)
            if mnt is None and kind != "tmpfs":
                print(f"disk full: cannot mount {kind} here; skipped", flush=True)
                continue
            for index in range(args.rounds):
                one_round(tally, rng, root, index, mnt, kind)
            tally.figure(f"rounds ({kind if mnt else 'file-size limit'})", args.rounds)
        finally:
            mnt = os.path.join(root, "mnt")
            if os.path.ismount(mnt):
                subprocess.run(["umount", mnt])
            shutil.rmtree(root, ignore_errors=True)
    return tally.finish()


if __name__ == "__main__":
    sys.exit(main())
