#!/usr/bin/env python3
"""Benchmark of treemir against the usual ways of mirroring a tree.

Generates deterministic trees in a temporary folder on /dev/shm, runs each
tool on each scenario (a warm-up, then several counted runs, every run
prepared the same way and the preparation not timed), checks every result
against the source (names, kinds, contents, modification time in seconds,
permission bits) and prints one table per scenario.

With --cold the same is done on a folder of a real disk instead, with the
page cache dropped before each timed run, so that the tools read the trees
from the disk as a nightly backup does.

With --share the destination is a share instead: a folder on a real disk
served by a private sshd on 127.0.0.1 (keys and configuration of its own,
started and stopped by the benchmark) and mounted with sshfs afresh before
each timed run, the sources staying in memory.  With --windows the Windows
build runs there too, under wine in a prefix of its own: through drive N:,
a network drive, whose copies go to its threads, and through drive L:, a
local disk to it, where the walk copies alone.

    python3 bench/bench.py            # full size (about 12 minutes on 2 cores)
    python3 bench/bench.py --small    # a quick run (well under a minute)
    python3 bench/bench.py --small --cold   # cold cache, on /var/tmp
    python3 bench/bench.py --share --workers 1,4,16   # onto an sshfs share
    python3 bench/bench.py --share --windows build-win/treemir.exe   # and treemir.exe under wine
    python3 bench/bench.py --help     # every option

Only the Python standard library is used.  The tools' costs are read by a
small launcher, bench/measure.cpp, compiled next to the treemir build.
"""

import argparse
import hashlib
import json
import os
import platform
import random
import resource
import shutil
import stat
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
DEFAULT_BUILD = "/tmp/build-bench"
SHM = "/dev/shm"
COLD_DIR = "/var/tmp"
DROP_CACHES = "/proc/sys/vm/drop_caches"
MEMORY_FS = {"tmpfs", "ramfs", "devtmpfs"}
BASE_TIME = 1_600_000_000  # seconds; every generated time lies after it
KiB, MiB = 1024, 1024 * 1024


def log(*parts):
    print(*parts, file=sys.stderr, flush=True)


def run_quiet(cmd, **kw):
    subprocess.run(cmd, check=True, stdin=subprocess.DEVNULL, **kw)


# ---------------------------------------------------------------------------
# Tools and the launcher
# ---------------------------------------------------------------------------

def build_treemir(build_dir):
    log(f"building treemir in {build_dir}")
    run_quiet(["cmake", "-S", REPO, "-B", build_dir, "-DTREEMIR_TESTS=OFF",
               "-DCMAKE_BUILD_TYPE=Release"], stdout=subprocess.DEVNULL)
    run_quiet(["cmake", "--build", build_dir, "-j2"], stdout=subprocess.DEVNULL)
    return os.path.join(build_dir, "treemir")


def build_launcher(build_dir):
    """Compiles bench/measure.cpp; answers its path, or None when no
    compiler could build it (costs are then read in this process, and the
    peak memory includes this interpreter's size)."""
    os.makedirs(build_dir, exist_ok=True)
    out = os.path.join(build_dir, "bench-measure")
    src = os.path.join(HERE, "measure.cpp")
    if os.path.exists(out) and os.path.getmtime(out) >= os.path.getmtime(src):
        return out
    for cxx in (os.environ.get("CXX"), "c++", "g++", "clang++"):
        if cxx and shutil.which(cxx):
            r = subprocess.run([cxx, "-O2", "-Wall", "-Wextra", "-o", out, src],
                               stdin=subprocess.DEVNULL)
            if r.returncode == 0:
                return out
    log("warning: could not compile bench/measure.cpp; peak memory will be overstated")
    return None


def ensure_rsync():
    if shutil.which("rsync"):
        return
    log("rsync is missing: installing it from Debian")
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    install = ["apt-get", "install", "-y", "-o", "DPkg::Lock::Timeout=600", "rsync"]
    if subprocess.run(install, env=env, stdin=subprocess.DEVNULL).returncode != 0:
        run_quiet(["apt-get", "update", "-o", "DPkg::Lock::Timeout=600"], env=env)
        run_quiet(install, env=env)


class Measure:
    """wall seconds, cpu seconds (user+sys), max RSS in KiB, exit status."""

    def __init__(self, wall, user, sys_, rss, status):
        self.wall, self.user, self.sys, self.rss, self.status = wall, user, sys_, rss, status

    @property
    def cpu(self):
        return self.user + self.sys


def measure(launcher, cmd, log_path, nofile=None):
    """Runs cmd with stdin empty, stdout discarded and stderr in log_path,
    and with its open-files limit (soft and hard) at nofile when given;
    answers its costs as wait4 on the command reports them."""
    quiet = subprocess.DEVNULL
    with open(log_path, "wb") as err:
        if launcher is None:
            if nofile:
                cmd = ["prlimit", f"--nofile={nofile}:{nofile}"] + cmd
            t0 = time.monotonic()
            pid = os.posix_spawnp(cmd[0], cmd, os.environ, file_actions=[
                (os.POSIX_SPAWN_OPEN, 0, os.devnull, os.O_RDONLY, 0),
                (os.POSIX_SPAWN_OPEN, 1, os.devnull, os.O_WRONLY, 0),
                (os.POSIX_SPAWN_DUP2, err.fileno(), 2)])
            _, status, ru = os.wait4(pid, 0)
            wall = time.monotonic() - t0
            return Measure(wall, ru.ru_utime, ru.ru_stime, ru.ru_maxrss,
                           os.waitstatus_to_exitcode(status))
        r, w = os.pipe()
        try:
            # The launcher sets the limit in its child before exec: a
            # wrapper such as prlimit would leave its own peak memory in
            # the command's figure.
            limit = [f"--nofile={nofile}"] if nofile else []
            p = subprocess.Popen([launcher, str(w)] + limit + cmd, stdin=quiet,
                                 stdout=quiet, stderr=err, pass_fds=(w,))
        finally:
            os.close(w)
        with os.fdopen(r) as report:
            line = report.read().split()
        p.wait()
    if p.returncode != 0 or len(line) != 5:
        raise RuntimeError(f"launcher failed on {cmd!r} (see {log_path})")
    wall_ns, user_us, sys_us, rss, status = map(int, line)
    return Measure(wall_ns / 1e9, user_us / 1e6, sys_us / 1e6, rss, status)


# ---------------------------------------------------------------------------
# Deterministic trees
# ---------------------------------------------------------------------------

class Pool:
    """Pseudo-random bytes to cut file contents from, drawn from one seeded
    generator so that every run makes byte-identical trees."""

    def __init__(self, rng, size, text=False):
        self.rng = rng
        if text:
            words = [bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz_") for _ in range(rng.randint(2, 10)))
                     for _ in range(2000)]
            words += [b"{", b"}", b"(", b");", b"return", b"if", b"int", b"const", b"\n", b"\n\t"]
            parts, n = [], 0
            while n < size:
                w = rng.choice(words)
                parts.append(w)
                parts.append(b" ")
                n += len(w) + 1
            self.data = b"".join(parts)[:size]
        else:
            self.data = b"".join(rng.randbytes(min(8 * MiB, size - i)) for i in range(0, size, 8 * MiB))

    def piece(self, n):
        if n <= 0:
            return b""
        if n >= len(self.data):
            return (self.data * (n // len(self.data) + 1))[:n]
        at = self.rng.randrange(0, len(self.data) - n + 1)
        return self.data[at:at + n]


def random_time_ns(rng):
    return (BASE_TIME + rng.randrange(100_000_000)) * 10**9 + rng.randrange(10**9)


def write_file(path, chunks, mode, mtime_ns):
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    try:
        for c in chunks:
            view = memoryview(c)
            while view:
                view = view[os.write(fd, view):]
    finally:
        os.close(fd)
    os.chmod(path, mode)
    os.utime(path, ns=(mtime_ns, mtime_ns))


def pick_mode(rng, table):
    x = rng.random()
    for p, mode in table:
        if x < p:
            return mode
        x -= p
    return table[-1][1]


FILE_MODES = [(0.85, 0o644), (0.05, 0o600), (0.08, 0o755), (0.02, 0o444)]
DIR_MODES = [(0.92, 0o755), (0.05, 0o700), (0.03, 0o775)]


class TreeMaker:
    """Creates directories and files under root, remembering the modes of
    directories so that they are applied once the tree is complete (a
    directory without write bits would refuse the files meant for it)."""

    def __init__(self, root, rng):
        self.root, self.rng = root, rng
        self.dir_modes = {}
        self.files = self.bytes = 0
        os.mkdir(root, 0o755)

    def mkdir(self, rel, mode=None):
        os.mkdir(os.path.join(self.root, rel), 0o755)
        self.dir_modes[rel] = pick_mode(self.rng, DIR_MODES) if mode is None else mode

    def file(self, rel, chunks, size, mode=None):
        mode = pick_mode(self.rng, FILE_MODES) if mode is None else mode
        write_file(os.path.join(self.root, rel), chunks, mode, random_time_ns(self.rng))
        self.files += 1
        self.bytes += size

    def finish(self):
        # Deepest first, each directory given a fixed time after its mode.
        for rel in sorted(self.dir_modes, key=lambda r: -r.count("/")):
            path = os.path.join(self.root, rel)
            os.chmod(path, self.dir_modes[rel])
            t = random_time_ns(self.rng)
            os.utime(path, ns=(t, t))
        os.chmod(self.root, 0o755)
        return {"files": self.files, "dirs": len(self.dir_modes) + 1, "bytes": self.bytes}


def random_dirs(rng, count, prefix=""):
    """count directory paths forming a random recursive tree (each new
    directory goes into a uniformly chosen earlier one, or the root)."""
    dirs = [""]
    for i in range(count):
        parent = dirs[rng.randrange(len(dirs))]
        name = f"{prefix}d{i:04d}"
        dirs.append(f"{parent}/{name}" if parent else name)
    return dirs


def make_small_files(root, seed, files, dirs, max_size=16 * KiB):
    rng = random.Random(seed)
    t = TreeMaker(root, rng)
    pool = Pool(rng, 32 * MiB)
    all_dirs = random_dirs(rng, dirs - 1)
    for d in all_dirs[1:]:
        t.mkdir(d)
    stems = ["f", "data_", "item-", "x", "record.", "chunk_0"]
    for i in range(files):
        d = all_dirs[rng.randrange(len(all_dirs))]
        name = f"{rng.choice(stems)}{i:05d}{rng.choice(['', '.dat', '.bin', '.txt'])}"
        size = rng.randint(0, max_size)
        t.file(os.path.join(d, name), [pool.piece(size)], size)
    return t.finish()


def make_one_directory(root, seed, entries, max_size):
    """entries files in root itself, created in random order, with names of
    mixed lengths that share long prefixes, as in a mail store or a cache;
    of 0 to max_size bytes."""
    rng = random.Random(seed)
    t = TreeMaker(root, rng)
    pool = Pool(rng, 4 * MiB)
    order = list(range(entries))
    rng.shuffle(order)
    stems = ["msg.", "img_2024", "cache-", "f"]
    for i in order:
        size = rng.randint(0, max_size) if max_size else 0
        name = f"{stems[i % len(stems)]}{i:07d}{'.eml' if i % 3 == 0 else ''}"
        t.file(name, [pool.piece(size)] if size else [], size, 0o644)
    return t.finish()


def make_large_files(root, seed, count, size):
    rng = random.Random(seed)
    t = TreeMaker(root, rng)
    t.mkdir("part", 0o755)
    for i in range(count):
        rel = f"big{i}.bin" if i < count // 2 else f"part/big{i}.bin"
        # Fresh pseudo-random data throughout: no zero runs, no repeats.
        chunks = (rng.randbytes(min(8 * MiB, size - at)) for at in range(0, size, 8 * MiB))
        t.file(rel, chunks, size, 0o644)
    return t.finish()


def make_source_like(root, seed, code_dirs, code_files, object_dirs, objects, assets):
    rng = random.Random(seed)
    t = TreeMaker(root, rng)
    text = Pool(rng, 2 * MiB, text=True)
    binary = Pool(rng, 16 * MiB)
    tops = ["src", "include", "tests", "docs", "tools", "third_party"]
    for top in tops:
        t.mkdir(top, 0o755)
    code = [""]
    for i in range(code_dirs):
        parent = code[rng.randrange(len(code))]
        name = rng.choice(["core", "util", "net", "io", "impl", "detail", "gen", "v2", "pkg"]) + str(i)
        rel = f"{parent}/{name}" if parent else f"{rng.choice(tops)}/{name}"
        t.mkdir(rel)
        code.append(rel)
    code[0] = tops[0]
    exts = [".c", ".h", ".cpp", ".hpp", ".py", ".md", ".txt", ".json", ".sh", ".mk"]
    for i in range(code_files):
        d = code[rng.randrange(len(code))]
        ext = rng.choice(exts)
        name = rng.choice(["main", "test_", "module", "parser", "README", "config", "__init__"]) + f"{i:05d}{ext}"
        if rng.random() < 0.02:
            size = 0
        else:
            size = min(int(rng.lognormvariate(8.0, 1.2)), 2 * MiB)
        mode = 0o755 if ext == ".sh" else None
        t.file(os.path.join(d, name), [text.piece(size)], size, mode)
    # A content-addressed object store: many tiny directories of few files.
    t.mkdir(".store", 0o755)
    t.mkdir(".store/objects", 0o755)
    for i in range(object_dirs):
        t.mkdir(f".store/objects/{i:02x}", 0o755)
    for i in range(objects):
        name = hashlib.sha1(str(i).encode()).hexdigest()
        d = f".store/objects/{rng.randrange(object_dirs):02x}"
        size = rng.randint(64, 24 * KiB)
        t.file(f"{d}/{name[2:]}", [binary.piece(size)], size, 0o444)
    t.mkdir("assets", 0o755)
    for i in range(assets):
        size = rng.randint(1 * MiB, 8 * MiB)
        t.file(f"assets/blob{i:02d}.bin", [binary.piece(size)], size, 0o644)
    return t.finish()


TREES = {
    # name: (title, full-size maker, small-size maker)
    "small-files": (
        "many small files (0-16 KiB)",
        lambda root: make_small_files(root, 11, 30_000, 1_500),
        lambda root: make_small_files(root, 11, 1_000, 50)),
    "large-files": (
        "a few large files of pseudo-random data",
        lambda root: make_large_files(root, 12, 4, 256 * MiB),
        lambda root: make_large_files(root, 12, 4, 16 * MiB)),
    "source-like": (
        "a source-code-like mix",
        lambda root: make_source_like(root, 13, 700, 9_000, 256, 2_000, 20),
        lambda root: make_source_like(root, 13, 30, 350, 16, 50, 2)),
    # Large directories, only when named: each takes minutes.
    "one-dir-100k-empty": (
        "one directory of 100,000 empty files",
        lambda root: make_one_directory(root, 21, 100_000, 0),
        lambda root: make_one_directory(root, 21, 10_000, 0)),
    "one-dir-100k-small": (
        "one directory of 100,000 small files (0-512 B)",
        lambda root: make_one_directory(root, 22, 100_000, 512),
        lambda root: make_one_directory(root, 22, 10_000, 512)),
    "one-dir-500k-empty": (
        "one directory of 500,000 empty files",
        lambda root: make_one_directory(root, 23, 500_000, 0),
        lambda root: make_one_directory(root, 23, 20_000, 0)),
    "one-dir-1m-empty": (
        "one directory of 1,000,000 empty files",
        lambda root: make_one_directory(root, 24, 1_000_000, 0),
        lambda root: make_one_directory(root, 24, 30_000, 0)),
    "one-dir-1m-small": (
        "one directory of 1,000,000 small files (0-512 B)",
        lambda root: make_one_directory(root, 25, 1_000_000, 512),
        lambda root: make_one_directory(root, 25, 30_000, 512)),
    "files-300k": (
        "300,000 files (0-1 KiB) in 15,000 directories of a random tree",
        lambda root: make_small_files(root, 26, 300_000, 15_000, 1 * KiB),
        lambda root: make_small_files(root, 26, 10_000, 500, 1 * KiB)),
}
# What a run without --trees measures.
DEFAULT_TREES = ["small-files", "large-files", "source-like"]

# The tree of --share, its only one: every file there costs a few round
# trips, so it is smaller than the memory runs' small-files tree.
SHARE_TREE = ("share-files", "small files (0-16 KiB) onto a share",
              lambda root: make_small_files(root, 11, 3_000, 150),
              lambda root: make_small_files(root, 11, 1_000, 50))
SHARE_SCENARIOS = "initial,nothing,changed"


def list_tree(root):
    """Relative paths of the files and of the directories below root, sorted."""
    files, dirs = [], []
    for top, dnames, fnames in os.walk(root):
        rel = os.path.relpath(top, root)
        rel = "" if rel == "." else rel
        dirs += [os.path.join(rel, d) for d in dnames]
        files += [os.path.join(rel, f) for f in fnames]
    return sorted(files), sorted(dirs)


def make_changed(src, out, seed, fraction=0.01):
    """A copy of src with a fraction of its files rewritten: half keep their
    size, the others change it; every changed file gets a later time."""
    rng = random.Random(seed)
    run_quiet(["cp", "-a", src, out])
    files, _ = list_tree(out)
    chosen = rng.sample(files, max(1, round(len(files) * fraction)))
    for n, rel in enumerate(chosen):
        path = os.path.join(out, rel)
        st = os.stat(path)
        if st.st_size > MiB:
            # A large file: new data at its start, the same size.
            fd = os.open(path, os.O_WRONLY)
            os.pwrite(fd, rng.randbytes(64 * KiB), 0)
            os.close(fd)
        else:
            size = st.st_size if n % 2 == 0 and st.st_size > 0 else rng.randint(1, 16 * KiB)
            write_file(path, [rng.randbytes(size)], stat.S_IMODE(st.st_mode), 0)
        t = st.st_mtime_ns + (3600 + rng.randrange(86400)) * 10**9 + rng.randrange(10**9)
        os.utime(path, ns=(t, t))
    return {"changed files": len(chosen)}


def make_deleted(src, out, seed, file_fraction=0.10, dir_fraction=0.02):
    """A copy of src without some whole directories (each holding at most
    half a percent of the files, or three times the average count of a
    directory) and then without further files, until
    about file_fraction of the files are gone."""
    rng = random.Random(seed)
    run_quiet(["cp", "-a", src, out])
    files, dirs = list_tree(out)
    per_dir = {}
    for f in files:
        parts = f.split("/")[:-1]
        for i in range(1, len(parts) + 1):
            key = "/".join(parts[:i])
            per_dir[key] = per_dir.get(key, 0) + 1
    target = round(len(files) * file_fraction)
    gone_dirs, gone_files = [], 0
    limit = max(len(files) // 200, 3 * len(files) // max(1, len(dirs)))
    candidates = [d for d in dirs if per_dir.get(d, 0) <= limit]
    rng.shuffle(candidates)
    for d in candidates:
        if len(gone_dirs) >= round(len(dirs) * dir_fraction) or gone_files >= target // 2:
            break
        if any(d.startswith(g + "/") or g.startswith(d + "/") for g in gone_dirs):
            continue
        shutil.rmtree(os.path.join(out, d))
        gone_dirs.append(d)
        gone_files += per_dir.get(d, 0)
    remaining, _ = list_tree(out)
    extra = rng.sample(remaining, max(0, min(len(remaining), max(1, target - gone_files))))
    for rel in extra:
        os.unlink(os.path.join(out, rel))
    return {"deleted dirs": len(gone_dirs), "deleted files": gone_files + len(extra)}


# ---------------------------------------------------------------------------
# Checking a result
# ---------------------------------------------------------------------------

def file_digest(path):
    h = hashlib.sha1()
    with open(path, "rb", buffering=0) as f:
        while True:
            b = f.read(4 * MiB)
            if not b:
                break
            h.update(b)
    return h.digest()


def snapshot(root):
    """Every entry below root (and root itself) by relative path: kind and
    permission bits, and for files the size, the modification time in whole
    seconds and a digest of the contents."""
    out = {".": ("dir", stat.S_IMODE(os.lstat(root).st_mode))}
    stack = [("", root)]
    while stack:
        rel, path = stack.pop()
        with os.scandir(path) as it:
            for e in it:
                r = f"{rel}/{e.name}" if rel else e.name
                st = e.stat(follow_symlinks=False)
                m = st.st_mode
                if stat.S_ISDIR(m):
                    out[r] = ("dir", stat.S_IMODE(m))
                    stack.append((r, e.path))
                elif stat.S_ISREG(m):
                    out[r] = ("file", stat.S_IMODE(m), st.st_size, st.st_mtime_ns // 10**9,
                              file_digest(e.path))
                else:
                    out[r] = ("other", stat.S_IFMT(m))
    return out


def differences(expected, got, limit=5):
    diffs = []
    for k in sorted(expected.keys() | got.keys()):
        e, g = expected.get(k), got.get(k)
        if e == g:
            continue
        if g is None:
            diffs.append(f"missing {k}")
        elif e is None:
            diffs.append(f"extra {k}")
        else:
            what = ["kind", "mode", "size", "mtime", "contents"]
            bad = [what[i] for i in range(min(len(e), len(g))) if e[i] != g[i]] or ["kind"]
            diffs.append(f"{k}: {', '.join(bad)} differ")
        if len(diffs) >= limit:
            diffs.append("...")
            break
    return diffs


# ---------------------------------------------------------------------------
# Scenarios
# ---------------------------------------------------------------------------

SCENARIOS = {
    # name: (title, source variant, destination before the run)
    "initial": ("initial copy into an empty destination", None, "empty"),
    "nothing": ("re-sync with nothing to do", None, "mirror"),
    "changed": ("1% of files changed in the source", make_changed, "mirror"),
    "deleted": ("10% of files and some directories deleted from the source", make_deleted, "mirror"),
}


def workers_limit(n):
    """The open-files limit under which treemir picks n workers: it takes
    (limit - 128) / 64 of them, from 1 to 16."""
    return 128 + 64 * n


def tool_commands(treemir, baseline=None, workers=()):
    # name: (command for (src, dst), scenarios it runs in, checks the result,
    #        open-files limit or None for the one inherited)
    tools = {"treemir": (lambda s, d: [treemir, "-q", s, d], None, True, None)}
    for n in workers:
        # The same binary, held to n workers by its open-files limit.
        tools[f"treemir-w{n}"] = (lambda s, d: [treemir, "-q", s, d], None, True, workers_limit(n))
    if baseline:
        # Another build (today's main, say), so that a change is judged
        # against it in the same run, on the same trees and the same load.
        tools["main"] = (lambda s, d: [baseline, "-q", s, d], None, True, None)
    return {
        **tools,
        "rsync": (lambda s, d: ["rsync", "-a", "--delete", s + "/", d + "/"], None, True, None),
        "cp -a": (lambda s, d: ["cp", "-a", s + "/.", d + "/"], {"initial"}, True, None),
        # The physical reference: the cost of reading every source byte.
        "cat (read source)": (lambda s, d: ["find", s, "-type", "f", "-exec", "cat", "--", "{}", "+"],
                              {"initial"}, False, None),
    }


# The Windows build under wine, onto the share
WINE_DRIVES = {"n:": "network", "l:": "hd"}


def wine_start(work, share):
    """A wine prefix of its own below work, with drives N: (a network drive)
    and L: (a local disk) both leading to the share's mount, and its server
    kept running, so that no run pays for starting it.  Answers the prefix;
    raises ShareRefused where wine cannot run."""
    for tool in ("wine", "wineboot", "wineserver"):
        if shutil.which(tool) is None:
            raise ShareRefused(f"{tool} is missing (packages wine, wine64)")
    prefix = os.path.join(work, "wine")
    os.environ.update(WINEPREFIX=prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=",
                      LANG="C.UTF-8", LC_ALL="C.UTF-8")
    run_quiet(["wineboot", "-i"])
    for drive, kind in WINE_DRIVES.items():
        run_quiet(["wine", "reg", "add", r"HKLM\Software\Wine\Drives", "/v", drive, "/d", kind, "/f"])
        os.symlink(share["mnt"], os.path.join(prefix, "dosdevices", drive))
    # A drive's type is read as the server starts.
    run_quiet(["wineserver", "-k"])
    subprocess.Popen(["wineserver", "-p"], stdin=subprocess.DEVNULL)
    run_quiet(["wine", "cmd", "/c", "exit"])
    return prefix


def wine_stop():
    subprocess.run(["wineserver", "-k"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def wine_tools(exe, share):
    """treemir.exe through each drive.  Its copies keep what Windows keeps
    (the read-only attribute, whole seconds), so only its status is checked."""
    def command(drive):
        def cmd(s, d):
            rel = os.path.relpath(d, share["mnt"]).replace("/", "\\")
            return ["wine", exe, "-q", "Z:" + s.replace("/", "\\"), drive.upper() + "\\" + rel]
        return cmd
    return {"treemir.exe-net": (command("n:"), None, False, None),
            "treemir.exe-local": (command("l:"), None, False, None)}


def prepare(state, src, dst):
    run_quiet(["rm", "-rf", dst])
    if state == "empty":
        os.mkdir(dst, 0o755)
    else:
        run_quiet(["cp", "-a", src, dst])


def destination(ctx):
    """Where the next run writes, and where that folder is prepared and
    checked: the same folder, but on a share, where it is prepared and
    checked where it is served.  In memory one folder serves every run.  On
    a disk each run gets a fresh name: ext4 can create files many times
    slower right after many were deleted, and that would be counted as the
    tool's cost."""
    share = ctx.get("share")
    if share is not None:
        ctx["dst_count"] += 1
        name = f"dst-{ctx['dst_count']:04d}"
        return os.path.join(share["mnt"], name), os.path.join(share["served"], name)
    if not ctx["cold"]:
        dst = os.path.join(ctx["work"], "dst")
        return dst, dst
    ctx["dst_count"] += 1
    dst = os.path.join(ctx["work"], f"dst-{ctx['dst_count']:04d}")
    return dst, dst


def drop_caches():
    """Writes every dirty page back (the preparation's, and the previous
    run's copies and deletions), then empties the page cache and the cached
    directory entries and inodes, so that the next run reads the trees from
    the disk.  Answers None, or why the kernel refused."""
    os.sync()
    try:
        with open(DROP_CACHES, "w") as f:
            f.write("3\n")
    except OSError as e:
        return f"{DROP_CACHES}: {e.strerror}"
    return None


def mount_type(path):
    """The file system type of the mount that holds path."""
    path, best, kind = os.path.realpath(path), "", "?"
    with open("/proc/self/mounts") as f:
        for line in f:
            fields = line.split()
            if len(fields) < 3:
                continue
            mnt = fields[1].replace("\\040", " ")
            # The longest mount point that holds path; the later of equal
            # ones, as a later mount hides an earlier one on the same point.
            if (path == mnt or path.startswith(mnt.rstrip("/") + "/")) and len(mnt) >= len(best):
                best, kind = mnt, fields[2]
    return kind


def run_scenario(ctx, tree, scen):
    title, variant, state = SCENARIOS[scen]
    work, base_src = ctx["work"], tree["src"]
    src, extra = base_src, {}
    if variant is not None:
        src = os.path.join(work, f"src-{tree['name']}-{scen}")
        extra = variant(base_src, src, seed=hash_seed(tree["name"], scen))
    expected = snapshot(src)
    tools = [(n, t) for n, t in ctx["tools"].items() if t[1] is None or scen in t[1]]
    tools = [(n, t) for n, t in tools if ctx["only_tools"] is None or n.split()[0] in ctx["only_tools"]]
    rows = {n: {"runs": [], "failures": [], "checked": t[2]} for n, t in tools}
    total = ctx["warmup"] + ctx["runs"]
    for i in range(total):
        k = i % len(tools)
        for name, (cmd, _, checked, nofile) in tools[k:] + tools[:k]:
            dst, here = destination(ctx)
            prepare(state, base_src, here)
            if ctx.get("share") is not None:
                # A fresh mount: nothing of the destination is cached.
                share_mount(ctx["share"], again=True)
            if ctx["cold"]:
                refused = drop_caches()
                if refused:
                    raise RuntimeError(f"cannot drop the page cache any more ({refused})")
            m = measure(ctx["launcher"], cmd(src, dst), os.path.join(work, "tool.log"), nofile)
            problem = None
            if m.status != 0:
                with open(os.path.join(work, "tool.log"), "rb") as f:
                    tail = f.read()[-400:].decode(errors="replace").strip()
                problem = f"exit status {m.status}: {tail}"
            elif checked:
                diffs = differences(expected, snapshot(here))
                if diffs:
                    problem = "wrong result: " + "; ".join(diffs)
            if problem:
                rows[name]["failures"].append(f"run {i + 1}: {problem}")
            if i >= ctx["warmup"]:
                rows[name]["runs"].append(m)
            if ctx["cold"] or ctx.get("share") is not None:
                # Deleted now, so that the next preparation's sync writes
                # the deletion back before anything is timed.
                run_quiet(["rm", "-rf", here])
    log(f"  {tree['name']} / {scen}: {total} rounds done")
    run_quiet(["rm", "-rf", here])
    if src != base_src and not ctx["keep"]:
        run_quiet(["rm", "-rf", src])
    return {"title": title, "extra": extra, "rows": rows, "cold": ctx["cold"]}


def hash_seed(*parts):
    return int.from_bytes(hashlib.sha1("/".join(parts).encode()).digest()[:8], "little")


# ---------------------------------------------------------------------------
# Report
# ---------------------------------------------------------------------------

def summarize(runs):
    walls = [m.wall for m in runs]
    return {
        "median": statistics.median(walls), "min": min(walls), "max": max(walls),
        "cpu": statistics.median([m.cpu for m in runs]),
        "rss": statistics.median([m.rss for m in runs]) / 1024.0,
    }


def fmt_time(s):
    return f"{s * 1000:9.1f} ms" if s < 10 else f"{s:9.2f} s "


def print_table(tree, scen, res, ctx):
    info = tree["info"]
    head = (f"{tree['name']}: {info['files']:,} files in {info['dirs']:,} directories, "
            f"{info['bytes'] / MiB:,.1f} MiB")
    extra = ", ".join(f"{v:,} {k}" for k, v in res["extra"].items())
    cold = "; cold cache" if res["cold"] else ""
    print(f"\n=== {head}\n--- {res['title']}{' (' + extra + ')' if extra else ''}{cold}; "
          f"median of {ctx['runs']} runs after {ctx['warmup']} warm-up")
    print(f"{'tool':<18} {'median':>12} {'min':>12} {'max':>12} {'cpu u+s':>12} "
          f"{'max RSS':>11}   {'x time':>6} {'x cpu':>6} {'x RSS':>6}")
    rows = res["rows"]
    base = summarize(rows["treemir"]["runs"]) if "treemir" in rows else None
    for name, row in rows.items():
        s = summarize(row["runs"])
        ratios = " ".join(f"{s[q] / base[q]:6.2f}" if base and base[q] else f"{'-':>6}"
                          for q in ("median", "cpu", "rss"))
        flag = "" if not row["failures"] else f"  FAILED {len(row['failures'])} run(s)"
        print(f"{name:<18} {fmt_time(s['median']):>12} {fmt_time(s['min']):>12} {fmt_time(s['max']):>12} "
              f"{fmt_time(s['cpu']):>12} {s['rss']:7.1f} MiB   {ratios}{flag}")
    for name, row in rows.items():
        for f in row["failures"][:3]:
            print(f"  ! {name} {f}")


TARGETS = [
    # (description, tree, scenario, other tool, quantity, limit)
    ("re-sync, nothing to do: time vs rsync", "small-files", "nothing", "rsync", "median", 0.5),
    ("initial copy, small files: time vs rsync", "small-files", "initial", "rsync", "median", 0.6),
    ("initial copy, small files: time vs cp -a", "small-files", "initial", "cp -a", "median", 1.0),
    ("initial copy, large files: time vs cp -a", "large-files", "initial", "cp -a", "median", 1.05),
    ("1% changed: time vs rsync", "small-files", "changed", "rsync", "median", 0.5),
    ("10% deleted: time vs rsync", "small-files", "deleted", "rsync", "median", 0.5),
    ("re-sync, nothing to do: peak memory vs rsync", "small-files", "nothing", "rsync", "rss", 0.5),
]

# The same, read from the disk after the page cache was dropped.  "main" is
# the build given by --treemir-baseline.
COLD_TARGETS = [
    ("cold re-sync, nothing to do: time vs main", "small-files", "nothing", "main", "median", 0.5),
    ("cold re-sync, nothing to do: time vs rsync", "small-files", "nothing", "rsync", "median", 0.4),
    ("cold initial copy, small files: time vs cp -a", "small-files", "initial", "cp -a", "median", 0.4),
    ("cold re-sync, nothing to do: peak memory vs rsync", "small-files", "nothing", "rsync", "rss", 0.5),
]


# Onto the share (--share), the sources in memory.
SHARE_TARGETS = [
    ("share, initial copy: time vs cp -a", "share-files", "initial", "cp -a", "median", 0.4),
    ("share, initial copy: time vs rsync", "share-files", "initial", "rsync", "median", 0.2),
    ("share, nothing to do (fresh mount): time vs rsync", "share-files", "nothing", "rsync", "median", 0.3),
]


def print_targets(results, small, kind):
    print("\n=== targets: treemir / other tool, ratio of medians (the measure), with the"
          "\n    ratios of the fastest runs and of the CPU times beside it for judging noise"
          + ("\n    (quick size: the targets are set for the full size)" if small else ""))
    print(f"  {'':<49} {'median':>6} {'min':>6} {'cpu':>6}")
    targets = {"cold": COLD_TARGETS, "share": SHARE_TARGETS}.get(kind, TARGETS)
    for desc, tree, scen, other, q, limit in targets:
        res = results.get(tree, {}).get(scen)
        if not res or "treemir" not in res["rows"]:
            continue
        if other not in res["rows"]:
            if other == "main":
                print(f"  {desc:<49} (no baseline: give --treemir-baseline)")
            continue
        rows = res["rows"]
        t, o = summarize(rows["treemir"]["runs"]), summarize(rows[other]["runs"])
        ratio = t[q] / o[q] if o[q] else float("inf")
        ok = ratio <= limit and not rows["treemir"]["failures"]
        failed = " (treemir result wrong)" if rows["treemir"]["failures"] else ""
        side = (f"{t['min'] / o['min']:6.2f} {t['cpu'] / o['cpu']:6.2f}" if q == "median"
                else f"{'':>6} {'':>6}")
        print(f"  {desc:<49} {ratio:6.2f} {side}  target <= {limit:<5} "
              f"{'met' if ok else 'NOT MET'}{failed}")


def build_checkout(binary):
    """The source folder a binary was built from, when it lies in a CMake
    build folder."""
    try:
        with open(os.path.join(os.path.dirname(binary), "CMakeCache.txt")) as f:
            for line in f:
                if line.startswith("CMAKE_HOME_DIRECTORY:"):
                    return line.split("=", 1)[1].strip()
    except OSError:
        pass
    return None


def machine_header(treemir, baseline, cold_dir, workers):
    def first_line(cmd):
        try:
            return subprocess.run(cmd, capture_output=True, text=True,
                                  stdin=subprocess.DEVNULL).stdout.splitlines()[0]
        except (OSError, IndexError):
            return "?"
    def revision(repo):
        rev = first_line(["git", "-C", repo, "rev-parse", "--short", "HEAD"])
        changed = subprocess.run(["git", "-C", repo, "status", "--porcelain", "--", "src"],
                                 capture_output=True, text=True, stdin=subprocess.DEVNULL).stdout.strip()
        return rev + (", with uncommitted changes in src/" if changed else "")
    print(f"machine: {os.cpu_count()} cores, {platform.platform()}, load {os.getloadavg()[0]:.2f}")
    print(f"treemir: {treemir} (checkout {revision(REPO)})")
    if baseline:
        # The checkout may have moved on since the build: its time is given too.
        repo = build_checkout(baseline)
        built = time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime(os.path.getmtime(baseline)))
        print(f"main:    {baseline} (built {built}"
              + (f", checkout now {revision(repo)})" if repo else ")"))
    if workers:
        # The plain row keeps the limit this process has; treemir raises
        # its soft limit to the hard one and picks its workers from that.
        hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
        own = 16 if hard == resource.RLIM_INFINITY else min(16, max(1, (hard - 128) // 64))
        rows = ", ".join(f"treemir-w{n} at {workers_limit(n)}" for n in workers)
        print(f"workers: open-files limit (soft = hard) {rows}; "
              f"treemir inherits hard limit {hard}, so {own} worker(s)")
    if cold_dir:
        print(f"cold:    {cold_dir} ({mount_type(cold_dir)}), page cache dropped before each run")
    print(f"rsync:   {first_line(['rsync', '--version'])}")
    print(f"cp:      {first_line(['cp', '--version'])}")


def cold_ready(folder):
    """Answers why cold runs cannot be made in folder, or None: it must be
    a folder on a disk, and the kernel must let this process drop the
    page cache."""
    if not os.path.isdir(folder):
        return f"{folder} is not a folder (--cold-dir)"
    kind = mount_type(folder)
    if kind in MEMORY_FS:
        return f"{folder} is on {kind}, in memory: --cold-dir must name a folder on a real disk"
    refused = drop_caches()
    if refused:
        return f"cannot drop the page cache ({refused}); cold runs need root"
    return None


# ---------------------------------------------------------------------------
# A share on this machine
# ---------------------------------------------------------------------------

class ShareRefused(Exception):
    """Why this machine cannot serve the share."""


SSHD_CONFIG = """Port {port}
ListenAddress 127.0.0.1
HostKey {keys}/host
AuthorizedKeysFile {keys}/authorized
PidFile {keys}/sshd.pid
PermitRootLogin prohibit-password
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
Subsystem sftp internal-sftp
"""


def free_port():
    import socket
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def share_start(folder):
    """Serves a new folder below folder (on a real disk) through an sshd of
    its own on a free loopback port, with keys made for it, and mounts it
    with sshfs.  Answers the share; raises ShareRefused with the reason
    where this machine cannot."""
    for tool in ("sshd", "ssh-keygen", "sshfs", "fusermount"):
        if shutil.which(tool) is None and not os.path.exists(f"/usr/sbin/{tool}"):
            raise ShareRefused(f"{tool} is missing (packages openssh-server, openssh-client, sshfs)")
    if not os.path.exists("/dev/fuse"):
        raise ShareRefused("no /dev/fuse: sshfs cannot mount")
    if mount_type(folder) in MEMORY_FS:
        raise ShareRefused(f"{folder} is in memory: the share must be served from a disk")
    root = tempfile.mkdtemp(prefix="treemir-share-", dir=folder)
    share = {"root": root, "keys": os.path.join(root, "keys"), "served": os.path.join(root, "served"),
             "mnt": os.path.join(root, "mnt"), "sshd": None, "mounted": False, "port": free_port()}
    try:
        os.makedirs(share["keys"], 0o700)
        os.mkdir(share["served"])
        os.mkdir(share["mnt"])
        for key in ("host", "client"):
            run_quiet(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", os.path.join(share["keys"], key)])
        shutil.copy(os.path.join(share["keys"], "client.pub"), os.path.join(share["keys"], "authorized"))
        config = os.path.join(share["keys"], "sshd_config")
        with open(config, "w") as f:
            f.write(SSHD_CONFIG.format(port=share["port"], keys=share["keys"]))
        os.makedirs("/run/sshd", 0o755, exist_ok=True)  # sshd's privilege separation
        sshd = shutil.which("sshd") or "/usr/sbin/sshd"
        share["log"] = os.path.join(share["keys"], "sshd.log")
        with open(share["log"], "wb") as log_file:
            share["sshd"] = subprocess.Popen([sshd, "-D", "-e", "-f", config], stdin=subprocess.DEVNULL,
                                             stdout=subprocess.DEVNULL, stderr=log_file)
        share_mount(share)
    except (OSError, subprocess.CalledProcessError, ShareRefused) as e:
        share_stop(share)
        raise ShareRefused(str(e)) from None
    return share


def share_mount(share, again=False):
    """Mounts the share (again: after unmounting it, so that nothing of it
    is cached), trying for a few seconds while sshd starts."""
    if again and share["mounted"]:
        subprocess.run(["fusermount", "-u", share["mnt"]], check=True)
        share["mounted"] = False
    cmd = ["sshfs", f"root@127.0.0.1:{share['served']}", share["mnt"], "-p", str(share["port"]),
           "-o", f"IdentityFile={share['keys']}/client,StrictHostKeyChecking=no,"
                 "UserKnownHostsFile=/dev/null,BatchMode=yes,LogLevel=ERROR", "-F", "/dev/null"]
    for _ in range(50):
        if share["sshd"].poll() is not None:
            with open(share["log"], "rb") as f:
                raise ShareRefused("sshd did not start: " + f.read()[-300:].decode(errors="replace").strip())
        if subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0:
            share["mounted"] = True
            return
        time.sleep(0.1)
    raise ShareRefused("sshfs could not mount the share through sshd")


def share_stop(share):
    if share["mounted"]:
        subprocess.run(["fusermount", "-u", share["mnt"]])
        share["mounted"] = False
    if share["sshd"] is not None:
        share["sshd"].terminate()
        share["sshd"].wait()
        share["sshd"] = None
    shutil.rmtree(share["root"], ignore_errors=True)


# ---------------------------------------------------------------------------
# Profiling
# ---------------------------------------------------------------------------

def profile(ctx, tree, outdir):
    """Writes system-call summaries of treemir and rsync, and an instruction
    profile of treemir, for the initial copy and the re-sync of one tree."""
    os.makedirs(outdir, exist_ok=True)
    src, dst, treemir = tree["src"], os.path.join(ctx["work"], "dst"), ctx["treemir"]
    have = {t: shutil.which(t) is not None for t in ("strace", "valgrind", "perf")}
    for scen in ("initial", "nothing"):
        state = SCENARIOS[scen][2]
        for name, cmd in (("treemir", [treemir, "-q", src, dst]),
                          ("rsync", ["rsync", "-a", "--delete", src + "/", dst + "/"])):
            if have["strace"]:
                prepare(state, src, dst)
                out = os.path.join(outdir, f"strace-{name}-{scen}.txt")
                run_quiet(["strace", "-f", "-c", "-o", out] + cmd, stdout=subprocess.DEVNULL)
                log(f"wrote {out}")
        if have["valgrind"]:
            prepare(state, src, dst)
            raw = os.path.join(outdir, f"callgrind-treemir-{scen}.out")
            run_quiet(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + raw,
                       treemir, "-q", src, dst], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            with open(os.path.join(outdir, f"callgrind-treemir-{scen}.txt"), "w") as f:
                subprocess.run(["callgrind_annotate", "--inclusive=no", raw], stdout=f,
                               stdin=subprocess.DEVNULL)
            log(f"wrote {raw} and its annotation")
        if have["perf"]:
            prepare(state, src, dst)
            raw = os.path.join(outdir, f"perf-treemir-{scen}.data")
            r = subprocess.run(["perf", "record", "-q", "-g", "-o", raw, treemir, "-q", src, dst],
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
            if r.returncode == 0:
                with open(os.path.join(outdir, f"perf-treemir-{scen}.txt"), "w") as f:
                    subprocess.run(["perf", "report", "-i", raw, "--stdio", "--no-children",
                                    "--sort", "symbol", "-g", "none", "--percent-limit", "0.5"],
                                   stdout=f, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
                log(f"wrote {raw} and its report")
    run_quiet(["rm", "-rf", dst])


# ---------------------------------------------------------------------------

def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--small", action="store_true", help="small trees for a quick run")
    ap.add_argument("--runs", type=int, default=5, help="counted runs per tool and scenario (default 5)")
    ap.add_argument("--warmup", type=int, default=1, help="uncounted runs before them (default 1)")
    ap.add_argument("--trees", default=None, help="comma-separated subset of: " + ", ".join(TREES)
                    + " (default " + ",".join(DEFAULT_TREES) + "; with --cold, small-files)")
    ap.add_argument("--scenarios", default=None,
                    help="comma-separated subset of: " + ", ".join(SCENARIOS)
                    + " (default all; with --cold, initial,nothing)")
    ap.add_argument("--tools", default=None,
                    help="comma-separated subset of: rsync, cp, cat (treemir always runs; "
                         "default all, with --cold rsync,cp)")
    ap.add_argument("--treemir", default=os.environ.get("TREEMIR_BIN"),
                    help="treemir binary to measure (default $TREEMIR_BIN, else built from this checkout)")
    ap.add_argument("--treemir-baseline", metavar="PATH",
                    help="a second treemir binary (today's main, say), measured in the same rounds "
                         "and shown as tool 'main'")
    ap.add_argument("--workers", metavar="N,N,...",
                    help="also measure treemir with each of these worker counts (1 to 16), as tools "
                         "'treemir-wN', its open-files limit set to 128 + 64 N")
    ap.add_argument("--cold", action="store_true",
                    help="run on a folder of a real disk, dropping the page cache before each timed "
                         "run (needs root), instead of on " + SHM)
    ap.add_argument("--share", action="store_true",
                    help="the destination an sshfs share of a folder on a real disk (served by an sshd "
                         "of the benchmark's own on 127.0.0.1), mounted afresh before each run; "
                         "its own tree and the scenarios " + SHARE_SCENARIOS + " (needs root)")
    ap.add_argument("--windows", metavar="EXE",
                    help="with --share: also this Windows build (treemir.exe) under wine, "
                         "through a network drive and a local one")
    ap.add_argument("--cold-dir", metavar="DIR", default=COLD_DIR,
                    help=f"folder on a real disk to make the cold run's temporary folder in (default {COLD_DIR})")
    ap.add_argument("--build-dir", default=DEFAULT_BUILD, help=f"build folder (default {DEFAULT_BUILD})")
    ap.add_argument("--json", help="also write every measurement to this file")
    ap.add_argument("--profile", metavar="DIR",
                    help="instead of timing, profile treemir (and count rsync's system calls) "
                         "on the small-files tree, writing the reports to DIR")
    ap.add_argument("--keep", action="store_true", help="keep the generated trees")
    args = ap.parse_args()
    if args.runs < 1 or args.warmup < 0:
        ap.error("--runs must be at least 1 and --warmup at least 0")
    if (args.cold or args.share) and args.profile:
        ap.error("--profile runs on the memory file system only")
    if args.cold and args.share:
        ap.error("--share and --cold are separate runs")
    if args.share and args.trees:
        ap.error("--share has a tree of its own")
    if args.windows and not args.share:
        ap.error("--windows runs onto the share alone (--share)")
    if args.windows and not os.path.isfile(args.windows):
        ap.error(f"--windows: {args.windows} is not a file")
    trees = [t for t in (args.trees or ("small-files" if args.cold else ",".join(DEFAULT_TREES))).split(",") if t]
    default_scens = "initial,nothing" if args.cold else SHARE_SCENARIOS if args.share else ",".join(SCENARIOS)
    scens = [s for s in (args.scenarios or default_scens).split(",") if s]
    for t in trees:
        if t not in TREES:
            ap.error(f"unknown tree {t}")
    for s in scens:
        if s not in SCENARIOS:
            ap.error(f"unknown scenario {s}")
    if args.profile:
        trees = ["small-files"]
    if args.share:
        trees = [SHARE_TREE[0]]
    workers = []
    for w in (args.workers or "").split(","):
        if not w:
            continue
        if not w.isdigit() or not 1 <= int(w) <= 16:
            ap.error(f"--workers: {w} is not a count from 1 to 16")
        if int(w) not in workers:
            workers.append(int(w))

    os.umask(0o022)
    ensure_rsync()
    baseline = os.path.abspath(args.treemir_baseline) if args.treemir_baseline else None
    if baseline and not os.access(baseline, os.X_OK):
        ap.error(f"--treemir-baseline: {baseline} is not an executable file")
    if args.cold:
        refused = cold_ready(args.cold_dir)
        if refused:
            # The only line of a refused cold run: no table is printed.
            print(f"cold tables skipped: {refused}")
            return 0
    treemir = os.path.abspath(args.treemir) if args.treemir else build_treemir(args.build_dir)
    launcher = build_launcher(args.build_dir)
    tools = args.tools or ("rsync,cp" if args.cold or args.share else None)
    ctx = {
        "treemir": treemir, "launcher": launcher, "tools": tool_commands(treemir, baseline, workers),
        "runs": args.runs, "warmup": args.warmup, "keep": args.keep,
        "only_tools": set(tools.split(",")) if tools else None,
        "cold": args.cold, "dst_count": 0,
    }
    if ctx["only_tools"] is not None:
        ctx["only_tools"].add("treemir")
        unknown = ctx["only_tools"] - {n.split()[0] for n in ctx["tools"]}
        if unknown:
            ap.error(f"unknown tool(s): {', '.join(sorted(unknown))}")
        if baseline:
            ctx["only_tools"].add("main")
        ctx["only_tools"].update(f"treemir-w{n}" for n in workers)
    if not args.cold and not os.path.isdir(SHM):
        sys.exit(f"{SHM} is missing: the benchmark runs on the memory file system")
    ctx["work"] = tempfile.mkdtemp(prefix="treemir-bench-", dir=args.cold_dir if args.cold else SHM)
    log(f"working in {ctx['work']}")
    results, started = {}, time.time()
    if args.share:
        try:
            ctx["share"] = share_start(args.cold_dir)
        except ShareRefused as e:
            # The only line of a refused share run: no table is printed.
            print(f"share tables skipped: {e}")
            shutil.rmtree(ctx["work"], ignore_errors=True)
            return 0
        log(f"share served from {ctx['share']['served']} on port {ctx['share']['port']}")
        if args.windows:
            try:
                log(f"wine prefix ready in {wine_start(ctx['work'], ctx['share'])}")
                ctx["wine"] = True
                ctx["tools"].update(wine_tools(os.path.abspath(args.windows), ctx["share"]))
                if ctx["only_tools"] is not None:
                    ctx["only_tools"].update(wine_tools("", ctx["share"]))
            except (OSError, subprocess.CalledProcessError, ShareRefused) as e:
                print(f"treemir.exe rows skipped: {e}")
    try:
        if not args.profile:
            machine_header(treemir, baseline, ctx["work"] if args.cold else None, workers)
        for tname in trees:
            title, full, quick = SHARE_TREE[1:] if args.share else TREES[tname]
            src = os.path.join(ctx["work"], f"src-{tname}")
            log(f"generating {tname} ({title})")
            info = (quick if args.small else full)(src)
            if args.cold:
                os.sync()  # the generator's writes reach the disk before any run
            tree = {"name": tname, "src": src, "info": info}
            if args.profile:
                profile(ctx, tree, args.profile)
            else:
                results[tname] = {}
                for scen in scens:
                    res = run_scenario(ctx, tree, scen)
                    results[tname][scen] = res
                    print_table(tree, scen, res, ctx)
                    sys.stdout.flush()
            if not args.keep:
                run_quiet(["rm", "-rf", src])
        if not args.profile:
            print_targets(results, args.small, "share" if args.share else "cold" if args.cold else None)
            print(f"\n(total {time.time() - started:.0f} s, load at the end {os.getloadavg()[0]:.2f})")
    finally:
        if ctx.get("wine"):
            wine_stop()
        if ctx.get("share") is not None:
            share_stop(ctx["share"])
        if args.keep:
            log(f"trees kept in {ctx['work']}")
        else:
            shutil.rmtree(ctx["work"], ignore_errors=True)
    if args.json:
        dump = {t: {s: {"title": r["title"], "extra": r["extra"], "cold": r["cold"], "rows": {
            n: {"failures": row["failures"],
                "runs": [vars(m) for m in row["runs"]]} for n, row in r["rows"].items()}}
            for s, r in sc.items()} for t, sc in results.items()}
        with open(args.json, "w") as f:
            json.dump(dump, f, indent=1)
    failed = any(row["failures"] for sc in results.values() for r in sc.values()
                 for row in r["rows"].values())
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
