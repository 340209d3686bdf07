#!/usr/bin/env python3
"""rtptool against bsdiff 4.3, xdelta3 -9, zstd --patch-from and HDiffPatch on the same real bytes.

Inputs are old/new binaries from two versions of Debian packages that the archive offers at
the same time (a bookworm point release beside bookworm-security), pinned by the .deb's
sha256 below. Everything lives in build/bench/; the results table is printed and written
to build/bench/results.md. See the README's "Benchmark" section and docs/benchmark.md.
HDiffPatch (hdiffz, hpatchz) is used from ../shared/tools/hdiffpatch when it is there (it is
never downloaded); without it its columns stay empty and the report says so.
"""

import argparse
import datetime
import hashlib
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Dict, List, Optional

ROOT = Path(__file__).resolve().parent.parent
BENCH = ROOT / "build" / "bench"
DEBS = BENCH / "debs"
SRC = BENCH / "src"
WORK = BENCH / "work"
RESULTS = BENCH / "results.md"

MiB = 1 << 20
# Above this many bytes of new content, make commands run once: bsdiff and rtptool take
# a minute or more on such inputs, and the whole run has to stay within 20 minutes.
BIG = 16 * MiB

# Inputs

# (package, architecture, version) -> sha256 of the .deb
DEB_SHA256 = {
    ("grub-efi-ia32-signed", "i386", "1+2.06+13+deb12u1"): "cffb97ca7509da74e204f4544bed62057897d84ea566b2fdf22f953a8e71c07e",
    ("grub-efi-ia32-signed", "i386", "1+2.06+13+deb12u2"): "119bb58be7475f6f590bd9e40d8d74bd821cb1056437b105115463912fd2c50b",
    ("grub-efi-amd64-signed", "amd64", "1+2.06+13+deb12u1"): "009cf7628c0b6cf1f4472df8b9bf5db603028185db63670686d5b985c4f4bc9d",
    ("grub-efi-amd64-signed", "amd64", "1+2.06+13+deb12u2"): "fbe2b28166a6dca8111bbf6a30d52d4781973c3a0440d8080f901e039b1f83f2",
    ("libssl3", "amd64", "3.0.20-1~deb12u2"): "89be24b41bff568ee6e7caf5680a3d808e80315ed92e407056ce0fa7a5bda025",
    ("libssl3", "amd64", "3.0.22-1~deb12u2"): "cb4784740daa9b3b0eaea2b444bbefa686794afbbf3d678d238c1fd9875f2efd",
    ("libc6", "amd64", "2.36-9+deb12u7"): "eba944bd99c2f5142baf573e6294a70f00758083bc3c2dca4c9e445943a3f8e6",
    ("libc6", "amd64", "2.36-9+deb12u14"): "ba4f88f73dbc3ae9055f3c20f4523bfdbaf1ad13ff95e258924f77d20b4fbedf",
    ("libnode108", "amd64", "18.20.4+dfsg-1~deb12u2"): "49c281c5fa259fa453a257e9cb0fcfb4385917ee21008ef1acbb5de2a9bb88a6",
    ("libnode108", "amd64", "18.20.4+dfsg-1~deb12u3"): "4d1b4ba623b2f65a1b8a9524d3ecccd535388acbac1f9ce810eab017bbc01036",
    ("postgresql-15", "amd64", "15.18-0+deb12u1"): "6974c43ddec4f383d099e7d642cd59d0af83c2c90c0fb153a4179aa1bb4d73c1",
    ("postgresql-15", "amd64", "15.20-0+deb12u1"): "8566850f295c2cb5034ff5dd5b40caf97eea81b75a841c8d1f691c05ab8815db",
    ("systemd-boot-efi", "amd64", "252.38-1~deb12u1"): "099343ccb3ad569ee1f0c838423f83267f65b8555fbcc8114167621a3350f245",
    ("systemd-boot-efi", "amd64", "252.39-1~deb12u2"): "8f2b81bdcfafc466882a0cae460272dbf10d8d97c6a3c1c6ea33038c155a2f5e",
    ("libwebkit2gtk-4.1-0", "amd64", "2.50.6-1~deb12u1"): "d60630e4011128af3d4fa382ea882c26906f8aae5289b151c95fd81535d59c04",
    ("libwebkit2gtk-4.1-0", "amd64", "2.50.6-1~deb12u2"): "bf0aab4b51cb8e6c5a605adb535e3fac0888a88357f79f3e72d4edf45f12c99e",
}


@dataclass
class Pair:
    name: str
    what: str
    package: str
    arch: str
    old: str
    new: str
    path: Optional[str]  # file inside the package; None: the whole package tree


PAIRS = [
    Pair("pe32", "PE32 EFI image (GRUB, signed)", "grub-efi-ia32-signed", "i386",
         "1+2.06+13+deb12u1", "1+2.06+13+deb12u2", "usr/lib/grub/i386-efi-signed/grubia32.efi.signed"),
    Pair("pe32plus", "PE32+ EFI image (GRUB, signed)", "grub-efi-amd64-signed", "amd64",
         "1+2.06+13+deb12u1", "1+2.06+13+deb12u2", "usr/lib/grub/x86_64-efi-signed/grubx64.efi.signed"),
    Pair("libcrypto", "shared library (OpenSSL 3.0.20 to 3.0.22)", "libssl3", "amd64",
         "3.0.20-1~deb12u2", "3.0.22-1~deb12u2", "usr/lib/x86_64-linux-gnu/libcrypto.so.3"),
    Pair("libc", "shared library (glibc 2.36, deb12u7 to deb12u14)", "libc6", "amd64",
         "2.36-9+deb12u7", "2.36-9+deb12u14", "lib/x86_64-linux-gnu/libc.so.6"),
    Pair("libnode", "large library rebuilt with a small fix (Node.js 18.20.4)", "libnode108", "amd64",
         "18.20.4+dfsg-1~deb12u2", "18.20.4+dfsg-1~deb12u3", "usr/lib/x86_64-linux-gnu/libnode.so.108"),
    Pair("pgtree", "installed tree (PostgreSQL 15.18 to 15.20)", "postgresql-15", "amd64",
         "15.18-0+deb12u1", "15.20-0+deb12u1", None),
    Pair("efiboot", "small PE32+ EFI image (systemd-boot 252.38 to 252.39)", "systemd-boot-efi", "amd64",
         "252.38-1~deb12u1", "252.39-1~deb12u2", "usr/lib/systemd/boot/efi/systemd-bootx64.efi"),
    # The same source rebuilt: 61 bytes differ (the build ID and the debug link's checksum).
    Pair("webkit", "large library rebuilt, nearly unchanged (WebKitGTK 2.50.6)", "libwebkit2gtk-4.1-0", "amd64",
         "2.50.6-1~deb12u1", "2.50.6-1~deb12u2", "usr/lib/x86_64-linux-gnu/libwebkit2gtk-4.1.so.0.19.9"),
]

# HDiffPatch, with the lzma2 settings of its own published benchmark (its README beside it).
HDIFF_DIRS = [ROOT.parent / "shared" / "tools" / "hdiffpatch", ROOT.parent.parent / "shared" / "tools" / "hdiffpatch"]
HDIFFZ_OPTIONS = ["-m-6", "-SD", "-d", "-f", "-p-1", "-c-lzma2-9-16m"]
HPATCHZ_OPTIONS = ["-s-3m", "-f"]
PEERS = ("bsdiff", "xdelta3", "zstd", "hdiffpatch")
PEER_OF = {"bspatch": "bsdiff", "xdelta3": "xdelta3", "zstd": "zstd", "hpatchz": "hdiffpatch"}
# No peer signs its patches: size ratios against them leave rtptool's signature block out.
SIGNATURE_BYTES = 80

TOOLS = {  # command -> Debian package
    "bsdiff": "bsdiff",
    "bspatch": "bsdiff",
    "xdelta3": "xdelta3",
    "zstd": "zstd",
    "valgrind": "valgrind",
    "/usr/bin/time": "time",
    "dpkg-deb": "dpkg",
    "tar": "tar",
    "eatmydata": "eatmydata",
}


class BenchError(Exception):
    pass


def log(msg: str) -> None:
    print(f"[bench {time.strftime('%H:%M:%S')}] {msg}", file=sys.stderr, flush=True)


# Running commands


def run(cmd: List[str], cwd: Optional[Path] = None, shown: Optional[List[str]] = None) -> subprocess.CompletedProcess:
    p = subprocess.run([str(c) for c in cmd], cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if p.returncode != 0:
        out = (p.stdout + p.stderr).decode(errors="replace").strip()
        raise BenchError(f"{' '.join(map(str, shown or cmd))} exited {p.returncode}:\n{out[-2000:]}")
    return p


def as_root(cmd: List[str]) -> List[str]:
    if os.geteuid() == 0:
        return cmd
    if not shutil.which("sudo"):
        raise BenchError(f"need root for: {' '.join(cmd)} (no sudo here)")
    return ["sudo"] + cmd


@dataclass
class Sample:
    seconds: float
    rss_kib: int


def timed(cmd: List[str], cwd: Optional[Path] = None) -> Sample:
    """Wall time of the whole command and its peak resident set (GNU time's %M)."""
    with tempfile.NamedTemporaryFile(prefix="rss", dir=BENCH, delete=False) as f:
        rss_file = Path(f.name)
    try:
        t0 = time.perf_counter()
        run(["/usr/bin/time", "-f", "%M", "-o", rss_file] + cmd, cwd, shown=cmd)
        seconds = time.perf_counter() - t0
        return Sample(seconds, int(rss_file.read_text().split()[-1]))
    finally:
        rss_file.unlink(missing_ok=True)


def synced(sample: Sample, paths: List[Path]) -> Sample:
    """The sample with the time to make what the command wrote durable: an fsync of each file and
    folder named, or with none named (a tree), a sync of everything, as rtptool's apply syncs a
    large batch of files with one syncfs."""
    t0 = time.perf_counter()
    if not paths:
        os.sync()
    for path in paths:
        fd = os.open(path, os.O_RDONLY)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)
    return Sample(sample.seconds + time.perf_counter() - t0, sample.rss_kib)


def callgrind_ir(cmd: List[str], out: Path) -> int:
    run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}"] + cmd)
    m = re.search(r"^(?:summary|totals):\s*(\d+)", out.read_text(errors="replace"), re.M)
    if not m:
        raise BenchError(f"no instruction total in {out}")
    return int(m.group(1))


def heap_peak(cmd: List[str], out: Path) -> int:
    """Peak heap bytes (valgrind massif: requested plus allocator overhead)."""
    run(["valgrind", "--tool=massif", f"--massif-out-file={out}"] + cmd)
    text = out.read_text(errors="replace")
    heap = [int(v) for v in re.findall(r"^mem_heap_B=(\d+)", text, re.M)]
    extra = [int(v) for v in re.findall(r"^mem_heap_extra_B=(\d+)", text, re.M)]
    if not heap or len(heap) != len(extra):
        raise BenchError(f"no heap figures in {out}")
    return max(h + e for h, e in zip(heap, extra))


# Diagnostic runs of rtptool beside its apply: `verify` does every check the apply makes before
# it writes (signature, hashes, every stream decoded once, the old files hashed); under
# eatmydata the apply's fsync and syncfs calls return at once.
DIAGNOSTICS = ("rtptool verify", "rtptool no sync", "hpatchz synced")


@dataclass
class Stat:
    """Repeated measurements of one command."""
    samples: List[Sample] = field(default_factory=list)

    def add(self, s: Sample) -> None:
        self.samples.append(s)

    @property
    def median(self) -> Optional[float]:
        return statistics.median(s.seconds for s in self.samples) if self.samples else None

    @property
    def peak_mib(self) -> Optional[float]:
        return max(s.rss_kib for s in self.samples) / 1024 if self.samples else None


# Checking results


def same_file(a: Path, b: Path) -> bool:
    if a.stat().st_size != b.stat().st_size:
        return False
    with open(a, "rb") as fa, open(b, "rb") as fb:
        while True:
            x, y = fa.read(MiB), fb.read(MiB)
            if x != y:
                return False
            if not x:
                return True


def listing(root: Path):
    dirs, files = set(), set()
    for d, ds, fs in os.walk(root):
        rel = Path(d).relative_to(root)
        for n in ds + fs:
            p = Path(d) / n
            r = str(rel / n)
            if p.is_symlink():
                raise BenchError(f"unexpected symbolic link {p}")
            (dirs if p.is_dir() else files).add(r)
    return dirs, files


def check_file(got: Path, want: Path, who: str) -> None:
    if not got.is_file() or not same_file(got, want):
        raise BenchError(f"MISMATCH: {who} produced {got}, which differs from {want}")


def check_tree(got: Path, want: Path, who: str) -> None:
    gd, gf = listing(got)
    wd, wf = listing(want)
    if gd != wd or gf != wf:
        extra = sorted((gd | gf) - (wd | wf))[:5]
        missing = sorted((wd | wf) - (gd | gf))[:5]
        raise BenchError(f"MISMATCH: {who} left tree {got} unlike {want}: extra {extra}, missing {missing}")
    for r in sorted(wf):
        if not same_file(got / r, want / r):
            raise BenchError(f"MISMATCH: {who}: {got / r} differs from {want / r}")


# Tools and inputs


def ensure_tools() -> None:
    missing = sorted({pkg for cmd, pkg in TOOLS.items() if not shutil.which(cmd)})
    if not missing:
        return
    if os.environ.get("CI"):
        raise BenchError(f"missing {', '.join(missing)}; the benchmark installs nothing under CI")
    log(f"installing {' '.join(missing)} from Debian")
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    for attempt in (1, 2):
        p = subprocess.run(as_root(["apt-get", "install", "-y", "--no-install-recommends"] + missing), env=env,
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if p.returncode == 0:
            break
        if attempt == 1:
            apt_update()
        else:
            raise BenchError(f"apt-get install {' '.join(missing)} failed:\n{p.stdout.decode(errors='replace')[-2000:]}")
    still = sorted(cmd for cmd in TOOLS if not shutil.which(cmd))
    if still:
        raise BenchError(f"still missing after install: {', '.join(still)}")


_apt_updated = False


def apt_update() -> None:
    global _apt_updated
    if not _apt_updated:
        log("apt-get update")
        run(as_root(["apt-get", "update"]))
        _apt_updated = True


def ensure_arch(arch: str) -> None:
    native = run(["dpkg", "--print-architecture"]).stdout.decode().strip()
    foreign = run(["dpkg", "--print-foreign-architectures"]).stdout.decode().split()
    if arch != native and arch not in foreign:
        log(f"adding the {arch} architecture to dpkg to download its packages")
        run(as_root(["dpkg", "--add-architecture", arch]))
        global _apt_updated
        _apt_updated = False
        apt_update()


def sha256(path: Path) -> str:
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(MiB), b""):
            h.update(chunk)
    return h.hexdigest()


def fetch(package: str, arch: str, version: str) -> Path:
    want = DEB_SHA256.get((package, arch, version))
    if want is None:
        raise BenchError(f"no sha256 pinned for {package}:{arch} {version}")
    DEBS.mkdir(parents=True, exist_ok=True)
    for deb in DEBS.glob(f"{package}_*_{arch}.deb"):
        if sha256(deb) == want:
            return deb
        if deb.name == f"{package}_{version.replace(':', '%3a')}_{arch}.deb":
            deb.unlink()  # a damaged or different download under the pinned name
    ensure_arch(arch)
    pin = f"{package}:{arch}={version}"
    for attempt in (1, 2):
        before = set(DEBS.iterdir())
        p = subprocess.run(["apt-get", "download", pin], cwd=DEBS, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        got = [d for d in set(DEBS.iterdir()) - before if d.suffix == ".deb"]
        if p.returncode == 0 and got:
            break
        if attempt == 1:
            apt_update()
        else:
            raise BenchError(f"apt-get download {pin} failed; the archive may no longer offer this version "
                             f"(update the pins in bench/bench.py):\n{p.stdout.decode(errors='replace')[-1500:]}")
    deb = got[0]
    have = sha256(deb)
    if have != want:
        deb.unlink()
        raise BenchError(f"{pin}: sha256 {have}, pinned {want}")
    return deb


def extract(deb: Path) -> Path:
    dest = SRC / deb.stem
    if (dest / ".extracted").exists():
        return dest
    shutil.rmtree(dest, ignore_errors=True)
    dest.mkdir(parents=True)
    run(["dpkg-deb", "-x", deb, dest])
    (dest / ".extracted").touch()
    return dest


def copy_tree_without_links(src: Path, dest: Path) -> int:
    """Copies files and folders; rtptool's trees hold no symbolic links, so they are left out."""
    links = 0
    dest.mkdir(parents=True)
    for d, ds, fs in os.walk(src):
        rel = Path(d).relative_to(src)
        for n in list(ds):
            if (Path(d) / n).is_symlink():
                links += 1
                ds.remove(n)
            else:
                (dest / rel / n).mkdir()
        for n in fs:
            p = Path(d) / n
            if rel == Path(".") and n == ".extracted":
                continue
            if p.is_symlink():
                links += 1
            else:
                shutil.copy2(p, dest / rel / n)
    return links


def fresh(path: Path) -> None:
    if path.is_dir() and not path.is_symlink():
        shutil.rmtree(path)
    elif path.exists() or path.is_symlink():
        path.unlink()


def cp_a(src: Path, dest: Path) -> None:
    fresh(dest)
    run(["cp", "-a", src, dest])


def installed_copy(src: Path, dest: Path) -> None:
    """A copy of the old tree as an installation is when an update starts: on the disk, not dirty in
    the page cache, where the apply's syncs would write it back at the apply's cost."""
    cp_a(src, dest)
    os.sync()


def bytes_of_tree(root: Path) -> int:
    return sum((Path(d) / f).stat().st_size for d, _, fs in os.walk(root) for f in fs)


# Measuring


@dataclass
class Result:
    pair: Pair
    tree: bool
    old_bytes: int = 0
    new_bytes: int = 0
    files: str = ""
    size: Dict[str, int] = field(default_factory=dict)
    make: Dict[str, Stat] = field(default_factory=dict)
    apply: Dict[str, Stat] = field(default_factory=dict)
    ir: Dict[str, Optional[int]] = field(default_factory=dict)
    heap: Optional[int] = None
    zstd_level: str = ""
    notes: List[str] = field(default_factory=list)


class Bench:
    def __init__(self, args):
        self.rtp = str(Path(args.rtptool).resolve())
        self.key = ["--key", str(Path(args.key).resolve())] if args.key else []
        self.trust = ["--trust", str(Path(args.trust).resolve())] if args.trust else []
        self.apply_reps = args.apply_reps
        # Three runs of the tree apply: each is seconds long on a busy machine.
        self.tree_apply_reps = args.apply_reps if args.apply_reps_given else 3
        self.make_reps = args.make_reps
        self.tree_callgrind = args.tree_callgrind
        self.zstd_ultra_all = args.zstd_22_all
        self.rtp_format = "?"
        self.signed = bool(args.key)
        self.peers = set(args.peers.split(","))
        self.hdiff = find_hdiffpatch(args.hdiffpatch) if "hdiffpatch" in self.peers else None
        self.hdiff_version = hdiffpatch_version(self.hdiff) if self.hdiff else None

    def hdiffz(self, old: Path, new: Path, patch: Path) -> List[str]:
        return [self.hdiff / "hdiffz"] + HDIFFZ_OPTIONS + [old, new, patch]

    def hpatchz(self, old: Path, patch: Path, out: Path) -> List[str]:
        return [self.hdiff / "hpatchz"] + HPATCHZ_OPTIONS + [old, patch, out]

    # rtptool's command line: options right after the command word, then the positional
    # arguments as `rtptool --help` shows them.
    def rtp_make(self, old: Path, new: Path, patch: Path) -> List[str]:
        # Signed for something, as a release's patches are: the header holds it.
        return ([self.rtp, "make"] + self.key + [old, new, patch] +
                ["--product", "Velmora", "--from", "7", "--to", "8"])

    def rtp_apply(self, patch: Path, tree: Path) -> List[str]:
        return [self.rtp, "apply"] + self.trust + [patch, tree]

    def note_format(self, patch: Path) -> None:
        p = subprocess.run([self.rtp, "list"] + self.trust + [str(patch)], stdout=subprocess.PIPE,
                           stderr=subprocess.DEVNULL)
        m = re.search(rb"format (\d+)", p.stdout)
        if m:
            self.rtp_format = m.group(1).decode()

    def zstd_level_for(self, new_bytes: int) -> str:
        # -22 takes two to five minutes on a 45 MiB input here; -19 makes a patch about 2 % larger in half the time.
        return "-22" if new_bytes <= BIG or self.zstd_ultra_all else "-19"

    # A small file's make takes tens of milliseconds, which the shared machine's load moves by
    # half: the median of three gave 0.040 s for a 137 KiB image whose make took 0.024 s in 21 runs.
    def make_reps_for(self, new_bytes: int) -> int:
        return self.make_reps if self.make_reps else (1 if new_bytes > BIG else 9)

    def file_pair(self, pair: Pair, old_root: Path, new_root: Path) -> Result:
        work = WORK / pair.name
        fresh(work)
        name = Path(pair.path).name
        olddir, newdir, pat, out = work / "old", work / "new", work / "patches", work / "out"
        for d in (olddir, newdir, pat, out):
            d.mkdir(parents=True)
        O, N = olddir / name, newdir / name
        shutil.copy2(old_root / pair.path, O)
        shutil.copy2(new_root / pair.path, N)
        r = Result(pair, False, O.stat().st_size, N.stat().st_size, "1 file")
        p_rtp, p_bsd, p_xd3, p_zst = pat / "p.rtp", pat / "p.bsdiff", pat / "p.xd3", pat / "p.zst"

        reps = self.make_reps_for(r.new_bytes)
        log(f"{pair.name}: make, {reps} run(s) each of rtptool and bsdiff")
        r.make = {"rtptool": Stat(), "bsdiff": Stat(), "xdelta3": Stat(), "zstd": Stat(), "hdiffz": Stat()}
        p_hdz = pat / "p.hdiffz"
        for _ in range(reps):
            fresh(p_rtp)
            r.make["rtptool"].add(timed(self.rtp_make(olddir, newdir, p_rtp)))
            if "bsdiff" in self.peers:
                r.make["bsdiff"].add(timed(["bsdiff", O, N, p_bsd]))
            if self.hdiff:
                r.make["hdiffz"].add(timed(self.hdiffz(O, N, p_hdz)))
        r.zstd_level = self.zstd_level_for(r.new_bytes)
        if "xdelta3" in self.peers:
            log(f"{pair.name}: xdelta3 -9 (once)")
            r.make["xdelta3"].add(timed(["xdelta3", "-9", "-e", "-f", "-B", source_window(O), "-s", O, N, p_xd3]))
        if "zstd" in self.peers:
            log(f"{pair.name}: zstd {r.zstd_level} (once)")
            r.make["zstd"].add(timed(["zstd", "-q", "-f", "--ultra", r.zstd_level, "--long=31",
                                      f"--patch-from={O}", N, "-o", p_zst]))
        r.size = {k: p.stat().st_size for k, p in
                  (("rtptool", p_rtp), ("bsdiff", p_bsd), ("xdelta3", p_xd3), ("zstd", p_zst)) if p.exists()}
        if self.hdiff:
            r.size["hdiffz"] = p_hdz.stat().st_size
        self.note_format(p_rtp)

        log(f"{pair.name}: apply, {self.apply_reps} runs each, interleaved")
        tree = work / "tree"
        res = out / name
        r.apply = {k: Stat() for k in ("rtptool", "xdelta3", "bspatch", "zstd", "hpatchz") + DIAGNOSTICS}
        for _ in range(self.apply_reps):
            installed_copy(olddir, tree)
            r.apply["rtptool"].add(timed(self.rtp_apply(p_rtp, tree)))
            check_tree(tree, newdir, "rtptool apply")
            self.diagnose(r, p_rtp, olddir, newdir, tree)
            for tool, cmd in (
                ("xdelta3", ["xdelta3", "-d", "-f", "-s", O, p_xd3, res]),
                ("bspatch", ["bspatch", O, res, p_bsd]),
                ("zstd", ["zstd", "-q", "-d", "-f", "--long=31", f"--patch-from={O}", p_zst, "-o", res]),
            ) + ((("hpatchz", self.hpatchz(O, p_hdz, res)),) if self.hdiff else ()):
                if PEER_OF[tool] not in self.peers:
                    continue
                fresh(res)
                r.apply[tool].add(timed(cmd))
                check_file(res, N, tool)
                if tool == "hpatchz":
                    fresh(res)
                    r.apply["hpatchz synced"].add(synced(timed(cmd), [res, res.parent]))

        log(f"{pair.name}: callgrind of rtptool apply and bspatch")
        cp_a(olddir, tree)
        r.ir["rtptool"] = callgrind_ir(self.rtp_apply(p_rtp, tree), work / "callgrind.rtptool")
        check_tree(tree, newdir, "rtptool apply under callgrind")
        self.measure_heap(r, p_rtp, olddir, newdir, tree, work)
        r.ir["bspatch"] = None
        if "bsdiff" in self.peers:
            fresh(res)
            r.ir["bspatch"] = callgrind_ir(["bspatch", O, res, p_bsd], work / "callgrind.bspatch")
            check_file(res, N, "bspatch under callgrind")
        return r

    def tree_pair(self, pair: Pair, old_root: Path, new_root: Path) -> Result:
        work = WORK / pair.name
        fresh(work)
        olddir, newdir, pat = work / "old", work / "new", work / "patches"
        links = (copy_tree_without_links(old_root, olddir), copy_tree_without_links(new_root, newdir))
        pat.mkdir()
        _, oldf = listing(olddir)
        newd, newf = listing(newdir)
        modified = sorted(f for f in oldf & newf if not same_file(olddir / f, newdir / f))
        added = sorted(newf - oldf)
        deleted = sorted(oldf - newf)
        r = Result(pair, True, bytes_of_tree(olddir), bytes_of_tree(newdir),
                   f"{len(oldf)} → {len(newf)} files")
        r.notes.append(f"{pair.name}: {len(modified)} files modified, {len(added)} added, {len(deleted)} deleted, "
                       f"{len(oldf & newf) - len(modified)} unchanged; symbolic links left out: {links[0]} of the old tree, "
                       f"{links[1]} of the new")
        p_rtp = pat / "p.rtp"

        reps = self.make_reps_for(r.new_bytes)
        log(f"{pair.name}: rtptool make, {reps} run(s)" + (" (and hdiffz)" if self.hdiff else ""))
        r.make = {"rtptool": Stat(), "bsdiff": Stat(), "xdelta3": Stat(), "zstd": Stat(), "hdiffz": Stat()}
        p_hdz = pat / "tree.hdiffz"
        for _ in range(reps):
            fresh(p_rtp)
            r.make["rtptool"].add(timed(self.rtp_make(olddir, newdir, p_rtp)))
            if self.hdiff:
                r.make["hdiffz"].add(timed(self.hdiffz(olddir, newdir, p_hdz)))
        r.size["rtptool"] = p_rtp.stat().st_size
        if self.hdiff:
            r.size["hdiffz"] = p_hdz.stat().st_size
        self.note_format(p_rtp)

        # Per-file bsdiff; an added file costs its zstd -19 size, a deleted one nothing.
        per = pat / "perfile"
        per.mkdir()
        if "bsdiff" in self.peers:
            log(f"{pair.name}: per-file bsdiff of {len(modified)} files, zstd -19 of {len(added)} added")
            total, peak = 0, 0
            t0 = time.perf_counter()
            for i, f in enumerate(modified):
                s = timed(["bsdiff", olddir / f, newdir / f, per / f"{i}.bsdiff"])
                peak = max(peak, s.rss_kib)
                total += (per / f"{i}.bsdiff").stat().st_size
            for i, f in enumerate(added):
                s = timed(["zstd", "-q", "-f", "-19", newdir / f, "-o", per / f"{i}.zst"])
                peak = max(peak, s.rss_kib)
                total += (per / f"{i}.zst").stat().st_size
            r.make["bsdiff"].add(Sample(time.perf_counter() - t0, peak))
            r.size["bsdiff"] = total

        r.zstd_level = self.zstd_level_for(r.new_bytes)
        old_tar, new_tar, out_tar = work / "old.tar", work / "new.tar", work / "out.tar"
        p_xd3, p_zst = pat / "tar.xd3", pat / "tar.zst"
        if self.peers & {"xdelta3", "zstd"}:
            log(f"{pair.name}: tar of both trees, xdelta3 -9 and zstd {r.zstd_level} of the tars")
            for d, t in ((olddir, old_tar), (newdir, new_tar)):
                run(["tar", "--sort=name", "--mtime=@0", "--owner=0", "--group=0", "--numeric-owner", "-C", d,
                     "-cf", t, "."])
        if "xdelta3" in self.peers:
            r.make["xdelta3"].add(timed(["xdelta3", "-9", "-e", "-f", "-B", source_window(old_tar), "-s", old_tar,
                                         new_tar, p_xd3]))
            r.size["xdelta3"] = p_xd3.stat().st_size
        if "zstd" in self.peers:
            r.make["zstd"].add(timed(["zstd", "-q", "-f", "--ultra", r.zstd_level, "--long=31",
                                      f"--patch-from={old_tar}", new_tar, "-o", p_zst]))
            r.size["zstd"] = p_zst.stat().st_size

        log(f"{pair.name}: apply, {self.tree_apply_reps} runs each, interleaved")
        tree = work / "tree"
        r.apply = {k: Stat() for k in ("rtptool", "cp -a", "bspatch", "xdelta3", "zstd", "hpatchz") + DIAGNOSTICS}
        out_tree = work / "out-tree"
        for rep in range(self.tree_apply_reps):
            installed_copy(olddir, tree)
            r.apply["rtptool"].add(timed(self.rtp_apply(p_rtp, tree)))
            check_tree(tree, newdir, "rtptool apply")
            self.diagnose(r, p_rtp, olddir, newdir, tree)

            fresh(tree)
            r.apply["cp -a"].add(timed(["cp", "-a", newdir, tree]))
            if rep == 0:
                check_tree(tree, newdir, "cp -a")
            if rep == 0 and "bsdiff" in self.peers:
                # 1,100 bspatch processes take a minute on a busy machine: one run only
                cp_a(olddir, tree)
                r.apply["bspatch"].add(self.per_file_apply(olddir, tree, per, modified, added, deleted, newd))
                check_tree(tree, newdir, "per-file bspatch and zstd -d")

            for tool, cmd in (
                ("xdelta3", ["xdelta3", "-d", "-f", "-s", old_tar, p_xd3, out_tar]),
                ("zstd", ["zstd", "-q", "-d", "-f", "--long=31", f"--patch-from={old_tar}", p_zst, "-o", out_tar]),
            ):
                if tool not in self.peers:
                    continue
                fresh(out_tar)
                r.apply[tool].add(timed(cmd))
                check_file(out_tar, new_tar, f"{tool} (tar)")
            if self.hdiff:
                # hpatchz writes the new tree beside the old one; it may not exist yet.
                fresh(out_tree)
                r.apply["hpatchz"].add(timed(self.hpatchz(olddir, p_hdz, out_tree)))
                check_tree(out_tree, newdir, "hpatchz")
                fresh(out_tree)
                r.apply["hpatchz synced"].add(synced(timed(self.hpatchz(olddir, p_hdz, out_tree)), []))

        log(f"{pair.name}: callgrind of rtptool apply")
        cp_a(olddir, tree)
        r.ir["rtptool"] = callgrind_ir(self.rtp_apply(p_rtp, tree), work / "callgrind.rtptool")
        check_tree(tree, newdir, "rtptool apply under callgrind")
        self.measure_heap(r, p_rtp, olddir, newdir, tree, work)
        r.ir["bspatch"] = None
        if self.tree_callgrind and "bsdiff" in self.peers:
            log(f"{pair.name}: callgrind of {len(modified)} bspatch runs (slow)")
            cp_a(olddir, tree)
            ir = 0
            for i, f in enumerate(modified):
                tmp = tree / (f + ".bench-new")
                ir += callgrind_ir(["bspatch", olddir / f, tmp, per / f"{i}.bsdiff"], work / "callgrind.bspatch")
                check_file(tmp, newdir / f, "bspatch under callgrind")
                tmp.unlink()
            r.ir["bspatch"] = ir
        return r

    def diagnose(self, r: Result, patch: Path, olddir: Path, newdir: Path, tree: Path) -> None:
        """What the apply's time is made of: its checks alone, and the apply with syncs made no-ops."""
        installed_copy(olddir, tree)
        r.apply["rtptool verify"].add(timed([self.rtp, "verify"] + self.trust + [patch, tree]))
        r.apply["rtptool no sync"].add(timed(["eatmydata"] + self.rtp_apply(patch, tree)))
        check_tree(tree, newdir, "rtptool apply under eatmydata")

    def measure_heap(self, r: Result, patch: Path, olddir: Path, newdir: Path, tree: Path, work: Path) -> None:
        log(f"{r.pair.name}: massif of rtptool apply")
        cp_a(olddir, tree)
        r.heap = heap_peak(self.rtp_apply(patch, tree), work / "massif.rtptool")
        check_tree(tree, newdir, "rtptool apply under massif")

    @staticmethod
    def per_file_apply(olddir, tree, per, modified, added, deleted, newdirs) -> Sample:
        """What a per-file bsdiff updater does: one bspatch per modified file, zstd -d per added file."""
        peak = 0
        t0 = time.perf_counter()
        for d in sorted(newdirs):
            (tree / d).mkdir(parents=True, exist_ok=True)
        for i, f in enumerate(modified):
            tmp = tree / (f + ".bench-new")
            peak = max(peak, timed(["bspatch", olddir / f, tmp, per / f"{i}.bsdiff"]).rss_kib)
            os.replace(tmp, tree / f)
        for i, f in enumerate(added):
            peak = max(peak, timed(["zstd", "-q", "-d", "-f", per / f"{i}.zst", "-o", tree / f]).rss_kib)
        for f in deleted:
            (tree / f).unlink()
        return Sample(time.perf_counter() - t0, peak)


def source_window(old: Path) -> str:
    # xdelta3 sees matches only within its source window (64 MiB by default): give it the whole file.
    w = 64 * MiB
    while w < old.stat().st_size:
        w *= 2
    return str(w)


def find_hdiffpatch(given: Optional[str]) -> Optional[Path]:
    dirs = [Path(given)] if given else HDIFF_DIRS
    for d in dirs:
        if all(os.access(d / t, os.X_OK) for t in ("hdiffz", "hpatchz")):
            return d.resolve()
    log(f"HDiffPatch not found (looked in {', '.join(map(str, dirs))}): its columns stay empty")
    return None


def hdiffpatch_version(d: Path) -> str:
    p = subprocess.run([d / "hdiffz"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    m = re.search(rb"v(\d+\.\d+\.\d+)", p.stdout)
    return m.group(1).decode() if m else "?"


# Report


def fmt_bytes(n: int) -> str:
    return f"{n / MiB:.2f} MiB" if n >= MiB else f"{n / 1024:.1f} KiB"


def nbytes(n) -> str:
    return "—" if n is None else f"{n:,}"


def ratio(a, b) -> str:
    return f"{a / b:.2f}" if a is not None and b else "—"


def key_ratio(a, b) -> str:
    r = ratio(a, b)
    return r if r == "—" else f"**{r}**"


def secs(x) -> str:
    return "—" if x is None else (f"{x:.3f}" if x < 1 else f"{x:.2f}" if x < 10 else f"{x:.1f}")


def mib(x) -> str:
    return "—" if x is None else f"{x:.1f}"


def gir(x) -> str:
    return "—" if x is None else f"{x / 1e6:,.1f} M"


def cpu_model() -> str:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def tool_versions() -> str:
    def deb(pkg):
        p = subprocess.run(["dpkg-query", "-W", "-f=${Version}", pkg], stdout=subprocess.PIPE,
                           stderr=subprocess.DEVNULL)
        return p.stdout.decode().strip() or "?"
    return ", ".join(f"{t} {deb(p)}" for t, p in (("bsdiff", "bsdiff"), ("xdelta3", "xdelta3"), ("zstd", "zstd"),
                                                     ("valgrind", "valgrind")))


def shown_path(p: str) -> str:
    try:
        return str(Path(p).relative_to(ROOT))
    except ValueError:
        return p


def mem_gib() -> str:
    pages = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    return f"{pages / (1 << 30):.0f}"


def table(L: List[str], title: str, columns: List[str], rows: List[List[str]], note: str = "",
          text_columns: int = 1) -> None:
    """A results table: the first text_columns columns are text, the rest right-aligned figures."""
    L += [f"### {title}", ""]
    if note:
        L += [note, ""]
    L.append("| " + " | ".join(columns) + " |")
    L.append("|" + "".join(" --- |" if i < text_columns else " ---: |" for i in range(len(columns))))
    L += ["| " + " | ".join(row) + " |" for row in rows]
    L.append("")


def report(results: List[Result], bench: Bench, elapsed: float, load_start: float, argv: List[str]) -> str:
    L = []
    now = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    L.append(f"## Results {now}")
    L.append("")
    nproc = subprocess.run(["nproc"], stdout=subprocess.PIPE).stdout.decode().strip()
    L.append(f"Machine: `nproc` {nproc}, {cpu_model()}, {mem_gib()} GiB; {platform.system()} {platform.release()}; "
             f"load average {load_start:.1f} at the start, {os.getloadavg()[0]:.1f} at the end (the machine is "
             f"shared). rtptool `{shown_path(bench.rtp)}` (patch format {bench.rtp_format}); {tool_versions()}; "
             + (f"HDiffPatch {bench.hdiff_version} (`hdiffz {' '.join(HDIFFZ_OPTIONS)}`, "
                f"`hpatchz {' '.join(HPATCHZ_OPTIONS)}`). " if bench.hdiff else
                "HDiffPatch not found, its columns are empty. ") +
             f"Whole run {elapsed / 60:.1f} min (`{' '.join(['bench/bench.py'] + argv)}`).")
    L.append("")
    table(L, "Inputs", ["pair", "what", "package", "old → new version", "file", "old → new size"],
          [[r.pair.name, r.pair.what, f"{r.pair.package} ({r.pair.arch})", f"{r.pair.old} → {r.pair.new}",
            ("`" + r.pair.path + "`") if r.pair.path else "whole package, " + r.files,
            f"{fmt_bytes(r.old_bytes)} → {fmt_bytes(r.new_bytes)}"] for r in results], text_columns=6)
    table(L, "Patch size",
          ["pair", "rtptool", "bsdiff", "xdelta3 -9", "zstd", "zstd level", "rtptool / bsdiff", "zstd / bsdiff",
           "xdelta3 / bsdiff"],
          [[r.pair.name, nbytes(z.get("rtptool")), nbytes(z.get("bsdiff")), nbytes(z.get("xdelta3")),
            nbytes(z.get("zstd")), r.zstd_level, key_ratio(z.get("rtptool"), z.get("bsdiff")),
            ratio(z.get("zstd"), z.get("bsdiff")), ratio(z.get("xdelta3"), z.get("bsdiff"))]
           for r in results for z in [r.size]])
    table(L, "Make (wall seconds, median; peak RSS in MiB)",
          ["pair", "runs", "rtptool", "bsdiff", "rtptool / bsdiff", "xdelta3 -9", "zstd", "rtptool RSS",
           "bsdiff RSS", "rtptool RSS / ten times old"],
          [[r.pair.name, str(len(m["rtptool"].samples)), secs(m["rtptool"].median), secs(m["bsdiff"].median),
            key_ratio(m["rtptool"].median, m["bsdiff"].median), secs(m["xdelta3"].median), secs(m["zstd"].median),
            mib(m["rtptool"].peak_mib), mib(m["bsdiff"].peak_mib),
            key_ratio(m["rtptool"].peak_mib, 10 * r.old_bytes / MiB)] for r in results for m in [r.make]],
          note="The last column is the bound on make's memory: at most 1.00 where the make holds no more than "
               "ten times the old file or tree (RSS is the highest of the runs).")
    table(L, "Apply (wall seconds, median; peak RSS in MiB)",
          ["pair", "runs", "rtptool", "xdelta3", "rtptool / xdelta3", "bspatch", "zstd", "cp -a", "rtptool / cp -a",
           "rtptool RSS", "xdelta3 RSS", "bspatch RSS"],
          [[r.pair.name, str(len(a["rtptool"].samples)), secs(a["rtptool"].median), secs(a["xdelta3"].median),
            key_ratio(a["rtptool"].median, a["xdelta3"].median), secs(a["bspatch"].median), secs(a["zstd"].median),
            secs(cp.median), key_ratio(a["rtptool"].median, cp.median), mib(a["rtptool"].peak_mib),
            mib(a["xdelta3"].peak_mib), mib(a["bspatch"].peak_mib)]
           for r in results for a in [r.apply] for cp in [r.apply.get("cp -a", Stat())]])
    if bench.hdiff:
        sig = SIGNATURE_BYTES if bench.signed else 0
        table(L, "Against HDiffPatch (sizes in bytes, wall seconds, median; peak RSS in MiB)",
              ["pair", "rtptool size", "hdiffz size", "size / hdiffz", "make", "hdiffz make", "make / hdiffz",
               "make RSS", "hdiffz RSS", "apply", "no sync", "hpatchz", "apply / hpatchz", "no sync / hpatchz",
               "hpatchz synced", "apply / hpatchz synced"],
              [[r.pair.name, f"{r.size['rtptool']:,}", f"{r.size['hdiffz']:,}",
                key_ratio(r.size["rtptool"] - sig, r.size["hdiffz"]), secs(m["rtptool"].median),
                secs(m["hdiffz"].median), key_ratio(m["rtptool"].median, m["hdiffz"].median),
                mib(m["rtptool"].peak_mib), mib(m["hdiffz"].peak_mib), secs(a["rtptool"].median),
                secs(a["rtptool no sync"].median), secs(a["hpatchz"].median),
                key_ratio(a["rtptool"].median, a["hpatchz"].median),
                ratio(a["rtptool no sync"].median, a["hpatchz"].median), secs(a["hpatchz synced"].median),
                ratio(a["rtptool"].median, a["hpatchz synced"].median)]
               for r in results for m, a in [(r.make, r.apply)]],
              note=("Size ratios leave out rtptool's " + str(SIGNATURE_BYTES) + "-byte signature block (no peer "
                    "signs). " if sig else "") + "`no sync` is rtptool's apply under eatmydata. hdiffz and "
                   "hpatchz take files and folders alike: for the tree, hpatchz writes the new tree into a fresh "
                   "folder beside the old one (rtptool updates a copy of the old tree in place), and its "
                   "result is compared with the new tree. `hpatchz synced` is hpatchz followed by what makes "
                   "its result durable as rtptool's is: an fsync of the new file and its folder, or for the "
                   "tree a sync of the file system.")
    table(L, "What rtptool's apply time is made of (wall seconds, median)",
          ["pair", "rtptool apply", "verify", "no sync", "xdelta3", "verify / xdelta3", "no sync / xdelta3"],
          [[r.pair.name, secs(a["rtptool"].median), secs(a["rtptool verify"].median),
            secs(a["rtptool no sync"].median), secs(a["xdelta3"].median),
            ratio(a["rtptool verify"].median, a["xdelta3"].median),
            ratio(a["rtptool no sync"].median, a["xdelta3"].median)] for r in results for a in [r.apply]],
          note="`verify` makes every check the apply makes before it writes; `no sync` is the apply under "
               "eatmydata, its fsync and syncfs calls made no-ops.")
    table(L, "Apply instructions (callgrind, total Ir) and heap (massif, peak MiB)",
          ["pair", "rtptool apply", "bspatch", "rtptool / bspatch", "rtptool heap"],
          [[r.pair.name, gir(r.ir["rtptool"]), gir(r.ir["bspatch"]), key_ratio(r.ir["rtptool"], r.ir["bspatch"]),
            mib(r.heap / MiB if r.heap is not None else None)] for r in results])
    L.append("Every applied result was compared byte for byte with the new file or tree. Wall times are of "
             "whole commands; rtptool apply checks the whole patch and the old files' hashes first and syncs "
             "what it writes (journal and files), the other tools do neither. zstd runs with `--patch-from` and "
             f"`--long=31`, at -22 (`--ultra`) up to {BIG // MiB} MiB and -19 above unless `--zstd-22-all` is "
             "given. "
             "For the tree, bsdiff is the sum of per-file bsdiff patches of modified files plus the zstd -19 "
             "size of each added file (deleted files cost nothing), its make time the sum of those runs and its "
             "apply time the per-file bspatch and zstd -d runs (timed once); xdelta3 and zstd work on `tar` archives of "
             "the two trees (their apply time leaves out unpacking); the tree's callgrind bspatch figure is "
             "left out unless `--tree-callgrind` is given (one valgrind start per modified file).")
    for r in results:
        for n in r.notes:
            L.append(f"- {n}")
    return "\n".join(L) + "\n"


def peer_list(text: str) -> str:
    unknown = set(text.split(",")) - set(PEERS)
    if unknown:
        raise argparse.ArgumentTypeError(f"unknown peer {', '.join(sorted(unknown))} (known: {', '.join(PEERS)})")
    return text


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rtptool", default=str(ROOT / "build" / "host" / "tools" / "rtptool"),
                    help="the rtptool to measure (default: the host preset's build, built when missing)")
    ap.add_argument("--only", action="append", choices=[p.name for p in PAIRS], metavar="NAME",
                    help="run this pair only (repeatable): " + ", ".join(p.name for p in PAIRS))
    ap.add_argument("--key", help="private key, passed to rtptool make as --key")
    ap.add_argument("--trust", help="public key, passed to rtptool apply as --trust")
    ap.add_argument("--apply-reps", type=int, help="runs of each apply command (default 7, 3 for the tree)")
    ap.add_argument("--make-reps", type=int, default=0,
                    help=f"runs of rtptool make and bsdiff (default 9, 1 above {BIG // MiB} MiB)")
    ap.add_argument("--zstd-22-all", action="store_true",
                    help=f"zstd -22 for every input (default: -19 above {BIG // MiB} MiB; adds several minutes)")
    ap.add_argument("--tree-callgrind", action="store_true",
                    help="also count bspatch instructions for every file of the tree (slow)")
    ap.add_argument("--peers", default=",".join(PEERS), type=peer_list,
                    help="comma-separated tools to measure rtptool against (default: all of "
                         f"{','.join(PEERS)}); the others' columns stay empty")
    ap.add_argument("--hdiffpatch", metavar="DIR",
                    help="folder holding hdiffz and hpatchz (default: ../shared/tools/hdiffpatch beside the checkout)")
    ap.add_argument("--work", help="folder for the trees the tools apply to (default build/bench/work);"
                    " /dev/shm/... takes the disk out, so apply times compare computation alone")
    args = ap.parse_args()
    if args.work:
        global WORK
        WORK = Path(args.work).resolve()
    args.apply_reps_given = args.apply_reps is not None
    if not args.apply_reps_given:
        args.apply_reps = 7
    argv = sys.argv[1:]

    started = time.perf_counter()
    load_start = os.getloadavg()[0]
    try:
        BENCH.mkdir(parents=True, exist_ok=True)
        default_rtp = ROOT / "build" / "host" / "tools" / "rtptool"
        if not Path(args.rtptool).exists() and Path(args.rtptool).resolve() == default_rtp:
            log("building rtptool (host preset)")
            run(["cmake", "--preset", "host"], ROOT)
            run(["cmake", "--build", "--preset", "host", "-j2", "--target", "rtptool"], ROOT)
        if not os.access(args.rtptool, os.X_OK):
            raise BenchError(f"no rtptool at {args.rtptool}")
        help_text = subprocess.run([args.rtptool, "--help"], stdout=subprocess.PIPE,
                                   stderr=subprocess.STDOUT).stdout.decode(errors="replace")
        if "make" not in help_text or "apply" not in help_text:
            raise BenchError(f"{args.rtptool} --help shows no make and apply commands:\n{help_text}")
        if "--key" in help_text and not args.key:
            log("note: this rtptool's --help mentions --key; pass --key/--trust if it needs them")
        ensure_tools()

        bench = Bench(args)
        results = []
        for pair in PAIRS:
            if args.only and pair.name not in args.only:
                continue
            log(f"{pair.name}: {pair.package} {pair.old} → {pair.new}")
            old_root = extract(fetch(pair.package, pair.arch, pair.old))
            new_root = extract(fetch(pair.package, pair.arch, pair.new))
            if pair.path:
                results.append(bench.file_pair(pair, old_root, new_root))
            else:
                results.append(bench.tree_pair(pair, old_root, new_root))
    except BenchError as e:
        print(f"bench: FAILED: {e}", file=sys.stderr)
        return 1

    text = report(results, bench, time.perf_counter() - started, load_start, argv)
    RESULTS.write_text(text)
    print(text)
    log(f"written to {RESULTS.relative_to(ROOT)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
