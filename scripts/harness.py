"""Shared by scripts/fault-sweep and scripts/crash-check: the representative update (adds over
existing files, new files in new directories, removes, one of a file that is not installed,
patches, add-if and patch-if both ways) built with the project's own zbdiff and zar; copies of a
scenario (BASE/install with BASE/update); runs of the updater; and the invariants on what a run
leaves, judged against the installation before the update (old) and after it (new), a file's
version being its bytes and permission bits (umask 0). A run that must finish the update's work
ends "succeeded" with every file new, or "failed: N" with every installed file as before (files
the update adds may remain), or, after a run that had recorded "succeeded", "failed: N" with
every file new; and leaves no backup, backup part, staged patch or journal behind."""
import argparse, os, re, shutil, signal, subprocess, sys, tempfile  # noqa: E401

ENV = dict(os.environ, DISPLAY="", WAYLAND_DISPLAY="")
UPDATE_FILES = {"update.zar", "update.log", "update.status", "update.manifest"}  # what a run may leave there
FAILED = re.compile(r"failed: [1-9]\d*\n")
BIN = WORK = None  # the programs and the scratch folder, set before a pool forks


def arguments(doc, full):
    """The command line; makes the scratch folder with private copies of the programs (another
    build may replace them meanwhile; without its window module the updater shows no window)."""
    global BIN, WORK
    parser = argparse.ArgumentParser(description=doc, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--full", action="store_true", help=full)
    parser.add_argument("--bin", default=os.path.join(os.path.dirname(__file__), "..", "build", "bin"))
    parser.add_argument("--jobs", type=int, default=2, help="parallel runs")
    parser.add_argument("--only", default="", help="only the points whose label this regular expression finds")
    args, tool = parser.parse_args(), os.path.basename(sys.argv[0])
    progs = [os.path.join(args.bin, p) for p in ("updater", "zar", "zbdiff")] + [shutil.which("strace") or "strace"]
    if not all(os.access(p, os.X_OK) for p in progs):
        sys.exit(print("%s: one of %s is missing" % (tool, " ".join(progs)), file=sys.stderr) or 2)
    os.umask(0)
    # In memory where programs may run from there: the runs need no disk, and take half the time.
    shm = os.access("/dev/shm", os.W_OK) and not os.statvfs("/dev/shm").f_flag & os.ST_NOEXEC
    WORK = tempfile.mkdtemp(prefix=tool + "-", dir="/dev/shm" if shm else None)
    BIN = os.path.join(WORK, "bin")
    os.makedirs(BIN)
    for p in progs[:3]:
        shutil.copy2(p, BIN)
    return args


def lines(tag, count):
    return b"".join(b"%s line %d: %s\n" % (tag, i, b"x" * (i % 37)) for i in range(count))


def fixture():
    """(old, new, items, manifest): the installation before and after, the archive's file items."""
    a, b = lines(b"alpha", 120), bytes(range(256)) * 9  # several 1024-byte chunks
    old = {"app/bin/tool": (b"#!/bin/sh\necho tool 1\n", 0o755), "app/lib/core.dat": (lines(b"core 1", 40), 0o644),
           "app/old/legacy.bin": (b"legacy\x00\x01", 0o600), "obsolete.txt": (b"obsolete\n", 0o664),
           "data/a.txt": (a, 0o640), "data/b.bin": (b, 0o751), "keep.txt": (b"untouched\n", 0o444),
           "data/c.txt": (b"c stays: its condition is absent\n", 0o644), "readme.txt": (b"readme 1\n", 0o644)}
    items = {"app/bin/tool": (b"#!/bin/sh\necho tool 2\n", 0o755), "app/lib/core.dat": (lines(b"core 2", 44), 0o600),
             "fresh/sub/deep/new.txt": (lines(b"fresh", 30), 0o640), "fresh/top.txt": (b"top\n", 0o644),
             "readme.txt": (b"readme 2, longer than before\n", 0o444)}
    new = dict(old, **items)
    new["data/a.txt"] = (a.replace(b"line 7:", b"LINE 7:") + lines(b"alpha tail", 9), 0o640)
    new["data/b.bin"] = (b[:1000] + b"\x00patched\xff" + b[1000:], 0o751)
    del new["obsolete.txt"], new["app/old/legacy.bin"]
    items["plugin/opt.txt"] = (b"never added: its condition is absent\n", 0o644)
    manifest = "\n".join(["# every kind of action", 'add "app/bin/tool"', 'remove "obsolete.txt"',
                          'patch "patches/a.zbd" "data/a.txt"', 'add "fresh/sub/deep/new.txt"', 'add "app/lib/core.dat"',
                          'patch-if "app/bin/tool" "patches/b.zbd" "data/b.bin"',
                          'patch-if "no/such/plugin" "patches/c.zbd" "data/c.txt"', 'add-if "app/bin/tool" "readme.txt"',
                          'add-if "no/such/plugin" "plugin/opt.txt"', 'remove "not-installed.txt"',
                          'add "fresh/top.txt"', 'remove "app/old/legacy.bin"', ""])
    return old, new, items, manifest


def write_tree(root, tree):
    for rel, (data, mode) in tree.items():
        os.makedirs(os.path.dirname(os.path.join(root, rel)), exist_ok=True)
        with open(os.path.join(root, rel), "wb") as f:
            f.write(data)
        os.chmod(os.path.join(root, rel), mode)


class Scenario:
    """A run's starting point in |base|; |crashed| when an interrupted run left it."""

    def __init__(self, name, base, can_succeed=True, crashed=False):
        self.name, self.base, self.can_succeed, self.crashed = name, base, can_succeed, crashed
        self.old, self.new = fixture()[:2]
        self.start = snapshot(os.path.join(base, "install"))


def build(name, extra=""):
    """The representative update, |extra| appended to its manifest, as a scenario."""
    old, new, items, manifest = fixture()
    base, stage = os.path.join(WORK, name), os.path.join(WORK, name + "-stage")
    write_tree(os.path.join(base, "install"), old)
    os.makedirs(os.path.join(base, "update"))
    write_tree(stage, dict(items, **{"update.manifest": ((manifest + extra).encode(), 0o644)}))
    for item, rel, target in (("a", "data/a.txt", new["data/a.txt"][0]), ("b", "data/b.bin", new["data/b.bin"][0]),
                              ("c", "data/c.txt", b"c would be patched\n")):
        write_tree(WORK, {name + "-" + item: (target, 0o644)})
        os.makedirs(os.path.join(stage, "patches"), exist_ok=True)
        subprocess.run([os.path.join(BIN, "zbdiff"), os.path.join(base, "install", rel), os.path.join(WORK, name + "-" + item),
                        os.path.join(stage, "patches", item + ".zbd")], check=True)
    subprocess.run([os.path.join(BIN, "zar"), "-c", os.path.join(base, "update", "update.zar"), "-C", stage,
                    "update.manifest", "patches", "app", "fresh", "plugin", "readme.txt"], check=True, stdout=subprocess.DEVNULL)
    return Scenario(name, base, can_succeed=not extra)


def snapshot(root):
    """path -> (bytes, mode) of each regular file below |root|, None for any other non-directory."""
    tree = {}
    for d, dirs, files in os.walk(root):
        for p in [os.path.join(d, x) for x in files + dirs if x in files or os.path.islink(os.path.join(d, x))]:
            regular = os.path.isfile(p) and not os.path.islink(p)
            tree[os.path.relpath(p, root)] = (read(p, True), os.lstat(p).st_mode & 0o7777) if regular else None
    return tree


def read(path, binary=False):
    try:
        with open(path, "rb") as f:
            data = f.read()
        return data if binary else data.decode(errors="replace")
    except OSError:
        return None


def translate(journal, pairs):
    """A journal may name files by inode number, which a copy changes: each of |pairs| is mapped."""
    text = read(journal, True)
    if text is not None:
        with open(journal, "wb") as f:
            f.write(re.sub(rb"\b[1-9]\d*\b", lambda m: b"%d" % pairs.get(int(m.group()), int(m.group())), text))


def copy(base, dest):
    """A copy of a scenario whose journal names the copied files; returns (install, update)."""
    shutil.copytree(base, dest, symlinks=True)
    pairs, journal = {}, os.path.join(dest, "update", "update.journal")
    for d, _, files in os.walk(os.path.join(base, "install")) if os.path.exists(journal) else ():
        for rel in (os.path.relpath(os.path.join(d, x), base) for x in files):
            pairs[os.lstat(os.path.join(base, rel)).st_ino] = os.lstat(os.path.join(dest, rel)).st_ino
    translate(journal, pairs)
    return os.path.join(dest, "install"), os.path.join(dest, "update")


def run(install, update, strace=None):
    """Runs the updater in |install| (under strace when given its options): (exit code or None, stderr)."""
    cmd = [os.path.join(BIN, "updater"), update, "0"]
    proc = subprocess.Popen(["strace", "-f", "-qq"] + strace + cmd if strace is not None else cmd, cwd=install,
                            env=ENV, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, start_new_session=True)
    try:
        err = proc.communicate(timeout=60)[1]
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        return None, proc.communicate()[1].decode(errors="replace")
    return proc.returncode, err.decode(errors="replace")


def version(tree, scen, backups=False):
    """"new" when every path of the update is the new version; "old" when every installed file is
    as before (with |backups|: or whole in its backup) and a file only the update adds, if there,
    has the new mode; else None."""
    if all(tree.get(p) == scen.new.get(p) for p in set(scen.old) | set(scen.new)):
        return "new"
    if all(tree.get(p) == v or backups and tree.get(p + ".zel-backup") == v for p, v in scen.old.items()) and \
            all(tree.get(p) is None or tree[p][1] == v[1] for p, v in scen.new.items() if p not in scen.old):
        return "old"


def mixed(tree, scen):
    """What each file that the update changes is: old, new or neither."""
    def what(t, p):
        return "old" if t == scen.old.get(p) else "new" if t == scen.new.get(p) else \
            "absent" if t is None else "%d bytes, mode %o" % (len(t[0]), t[1])
    return ", ".join(p + " " + what(tree.get(p), p) for p in sorted(set(scen.old) | set(scen.new))
                     if scen.old.get(p) != scen.new.get(p))


def whole_backup(scen, rel, entry):
    """The file before the update, or as this run found it when only an interrupted run added it."""
    path = rel[: -len(".zel-backup")]
    return entry == scen.old[path] if path in scen.old else entry in (scen.start.get(path), scen.new.get(path))


def leftovers(tree, update, scen):
    return sorted([p for p in tree if p not in scen.old and p not in scen.new] +
                  [n for n in os.listdir(update) if n not in UPDATE_FILES])


def check_final(problems, scen, install, update, label, applied=False, excused=()):
    """A run that must finish the work, after one that recorded "succeeded" if |applied|."""
    status, tree = read(os.path.join(update, "update.status")), snapshot(install)
    v = version(tree, scen)
    if not (status == "succeeded\n" and v == "new" and scen.can_succeed or
            FAILED.fullmatch(status or "") and (v == "old" or applied and v == "new")):
        problems.append("%s: status %r, installation %s" % (label, status, v or mixed(tree, scen)))
    left = [n for n in leftovers(tree, update, scen) if os.path.basename(n) not in excused]
    if left:
        problems.append("%s: left behind: %s" % (label, ", ".join(left)))


def report(label, problems, *texts):
    return problems and "\n  ".join(["VIOLATION in %s" % label] + problems + [x for t in texts for x in t.splitlines()])


def show(report):
    """Prints a report, if there is one; 1 if there was."""
    if report:
        print(report, flush=True)
    return bool(report)
