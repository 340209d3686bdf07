#!/usr/bin/env python3
"""Lays out the demo's Velmora 7 installations (standard and pro) and their
Release 8 trees, writes the release description and makes the release's four
patch files with `rtptool release`, which also checks them.

  OUT/trees/r7-standard  r7-pro  r8-standard  r8-pro
  OUT/parts/<patch>-old  <patch>-new     the trees each patch is made from
  OUT/release.ini                        the release description
  OUT/patches/r7r8s.rtp  r7r8p.rtp  postpatch.rtp  taxtbl.rtp

r7r8s and r7r8p bring each edition's own files to Release 8; postpatch
(shared/config.ini) and taxtbl (tax/tables.dat) fit both editions and run
after either. The product's modules are code-like binaries of a few megabytes
that Release 8 changes the way a rebuild does (code shifted by new functions,
relative call targets and absolute addresses changed); --small makes them
small, for tests. Everything is generated deterministically, but for the
patches' signatures: they are signed with --key, by default the repository's
test key (which a TEST build of PATCHW32.dll trusts, -DVELMORA_TEST_RELEASE_KEY=ON).
"""
import argparse
import os
import random
import shutil
import struct
import subprocess
import sys

KEYS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "keys")
TEST_KEY = os.path.join(KEYS, "test-release-key.pem")
TEST_PUBLIC = os.path.join(KEYS, "test-release-key.pub.pem")

# Files that the two shared patches own; the main patches leave them alone.
POSTPATCH_FILES = ["shared/config.ini"]
TAXTBL_FILES = ["tax/tables.dat"]


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    mode = "wb" if isinstance(data, bytes) else "w"
    with open(path, mode, newline="" if mode == "w" else None) as f:
        f.write(data)


# The product's modules: name -> (kilobytes at full size, seed). Several
# modules of a few megabytes each, as a product of that size ships; the pro
# edition adds two of its own.
MODULES = {
    "ledger": (4608, 11), "reports": (4096, 12), "forms": (3584, 13), "banking": (3584, 15),
    "payroll": (3072, 16), "print": (2560, 17), "exchange": (2560, 19),
}
PRO_MODULES = {"analysis": (3584, 14), "consolidate": (2560, 18)}
IMAGE_BASE = 0x10000000
SECTION_ALIGN = 0x1000
OPCODES = [b"\x8b\x45", b"\x89\x45", b"\x8b\x4d", b"\x03\x45", b"\x33\xc0\x83\xf8", b"\xc7\x45\xf8\x00\x00\x00",
           b"\x85\xc0\x74", b"\x8d\x4d", b"\x6a", b"\x83\xc4"]
CALL, DATA = 1, 2


class Code:
    """One module's functions and strings, which both releases share. A
    function is a list of segments (run, kind, target): a run of plain
    instructions, then a call of function `target`, a push of string
    `target`'s address, or nothing (kind 0)."""

    def __init__(self, kilobytes, seed, small):
        size = (kilobytes << 10) // (16 if small else 1)
        self.rng = random.Random(seed)
        rnd = self.rng.random
        # The straight-line runs a compiler emits between references: a few
        # hundred kinds, reused everywhere, as real code repeats its idioms.
        self.runs = []
        for _ in range(400):
            run = b"".join(OPCODES[int(rnd() * len(OPCODES))] + bytes([int(rnd() * 256)])
                           for _ in range(1 + int(rnd() * 6)))
            if rnd() < 0.3:
                run += b"\x0f\x84" + struct.pack("<i", int(rnd() * 60))  # a local jump
            self.runs.append(run)
        self.count = size // 120
        self.nstrings = self.count // 8
        self.strings = ["%s_%d: %s\0" % (("msg", "err", "fmt")[i % 3], i, "x" * (i % 23)) for i in range(self.nstrings)]
        self.bodies = [self.body(f) for f in range(self.count)]

    def body(self, f):
        rnd, count, nruns = self.rng.random, self.count, len(self.runs)
        segments = []
        for _ in range(2 + int(rnd() * 8)):
            kind = rnd()
            if kind < 0.45:
                # Most calls stay near: a unit calls its neighbours.
                near = rnd() < 0.8
                target = min(count - 1, max(0, f - 40 + int(rnd() * 81))) if near else int(rnd() * count)
                segments.append((int(rnd() * nruns), CALL, target))
            elif kind < 0.7:
                segments.append((int(rnd() * nruns), DATA, int(rnd() * self.nstrings)))
            else:
                segments.append((int(rnd() * nruns), 0, 0))
        return segments


def module(code, release, seed):
    """An x86-like image: a small header, the code section, then the string
    table at the next section boundary. Release 8 is a rebuild: a few new
    functions and strings inserted and a few bodies edited to use them, so
    everything after an insertion moves, rel32 calls that cross one change,
    and the string table's addresses move with the grown code."""
    rng = random.Random(seed * 7 + release)
    ids = list(range(code.count))
    strings = list(range(code.nstrings))
    bodies = code.bodies
    texts = code.strings
    if release >= 8:
        bodies, texts = list(bodies), list(texts)
        new = list(range(code.count, code.count + 8))
        for k, f in enumerate(new):
            where = rng.randrange(len(ids))
            ids.insert(where, f)
            bodies.append(random.Random(seed * 31 + k).choice(code.bodies))
            strings.insert(rng.randrange(len(strings)), code.nstrings + k)
            texts.append("new in release 8, %d\0" % k)
        for k, f in enumerate(rng.sample(range(code.count), max(8, code.count // 400))):
            bodies[f] = bodies[f] + [(k % len(code.runs), CALL, new[k % 8]), (0, DATA, code.nstrings + k % 8)]
    runs = code.runs
    lengths = [len(run) for run in runs]

    start = IMAGE_BASE + SECTION_ALIGN
    addr, at = start, [0] * len(bodies)
    for f in ids:
        at[f] = addr
        n = 10
        for run, kind, _ in bodies[f]:
            n += lengths[run] + (5 if kind else 0)
        addr += (n + 15) & ~15
    code_size = addr - start
    addr = (addr + SECTION_ALIGN - 1) & ~(SECTION_ALIGN - 1)
    data_start = addr
    string_at = [0] * len(texts)
    for i in strings:
        string_at[i] = addr
        addr += len(texts[i])

    out = []
    append = out.append
    call = struct.Struct("<Bi").pack
    push = struct.Struct("<BI").pack
    for f in ids:
        pos = at[f] + 6
        append(b"\x55\x8b\xec\x83\xec\x20")
        for run, kind, target in bodies[f]:
            append(runs[run])
            pos += lengths[run]
            if kind == CALL:
                append(call(0xE8, at[target] - (pos + 5)))
                pos += 5
            elif kind == DATA:
                append(push(0x68, string_at[target]))
                pos += 5
        append(b"\x8b\xe5\x5d\xc3")
        pos += 4
        append(b"\xcc" * (-(pos - start) % 16))
    text = b"".join(out)
    data = "".join(texts[i] for i in strings).encode("ascii")
    header = b"VLM1" + struct.pack("<IIII", 0x3A000000 + release * 0x10000 + seed, IMAGE_BASE, code_size, len(data))
    return header.ljust(SECTION_ALIGN, b"\0") + text.ljust(data_start - start, b"\0") + data

def help_text(release, edition, small):
    """A help file of chapters; Release 8 rewrites a few and adds one."""
    rng = random.Random(31)
    words = ("invoice customer ledger account period report tax rate form field total balance "
             "export print template letter quote archive user backup").split()
    chapters = []
    for c in range(8 if small else 120):
        lines = ["Chapter %d\r\n" % (c + 1)]
        for _ in range(40):
            lines.append(" ".join(rng.choice(words) for _ in range(12)).capitalize() + ".\r\n")
        if release >= 8 and c % 17 == 5:
            lines[3] = "Release 8: this chapter describes the new VAT id field.\r\n"
        chapters.append("".join(lines))
        if release >= 8 and c == 3:
            chapters.append("Chapter 4a\r\nQuotes: the new quote form.\r\n")
    return "Velmora %s help, release %d\r\n" % (edition, release) + "".join(chapters)


def tax_tables(release):
    """About 3 MB of rate tables; Release 8 changes about 1 % of the rows."""
    rng = random.Random(2000)
    rows = []
    for i in range(60000):
        rate = rng.randint(0, 45000)
        if release >= 8 and i % 97 == 13:
            rate += 125
        rows.append("%06d;%05d;%08.3f;%s\r\n" % (i, i % 52, rate / 1000.0, "DE" if i % 3 else "AT"))
    return "".join(rows).encode("ascii")


def forms(release, edition, small):
    files = {
        "forms/invoice.frm": "Invoice form\r\nfields: number, date, customer, total\r\n"
        + ("layout: 2\r\nfield: vat-id\r\n" if release >= 8 else "layout: 1\r\n"),
        "forms/letter.frm": "Letter form\r\nfields: address, subject, body\r\n",
        "help/velmora.txt": help_text(release, edition, small),
        "shared/config.ini": "[velmora]\r\nrelease=%d\r\nserver=%s\r\n"
        % (release, "updates.velmora.example" if release >= 8 else "none"),
    }
    if release >= 8:
        files["forms/quote.frm"] = "Quote form\r\nfields: number, valid-until, items\r\n"
        files["templates/standard.tpl"] = "Standard letter template\r\n"
    else:
        files["notes7.txt"] = "Release 7 notes: this file goes away with Release 8.\r\n"
    if edition == "Pro":
        files["forms/report.frm"] = "Pro report form, release %d\r\n" % release
    return files


def make_tree(root, bin_dir, release, edition, modules):
    if os.path.exists(root):
        shutil.rmtree(root)
    shutil.copyfile(os.path.join(bin_dir, "r%d-%s" % (release, edition), "vlw32.exe"),
                    os.path.join(makedirs(root), "vlw32.exe"))
    shutil.copyfile(os.path.join(bin_dir, "r%d-core" % release, "vlwcore.dll"),
                    os.path.join(root, "vlwcore.dll"))
    for name, data in modules.items():
        write(os.path.join(root, "modules", name + ".vlm"), data)
    for rel, text in forms(release, edition, modules.small).items():
        write(os.path.join(root, rel), text)
    write(os.path.join(root, "tax", "tables.dat"), tax_tables(release))


class Modules(dict):
    """One release's modules for one edition: name -> bytes."""

    def __init__(self, release, edition, small, cache):
        super().__init__()
        self.small = small
        for name, (kilobytes, seed) in sorted({**MODULES, **(PRO_MODULES if edition == "Pro" else {})}.items()):
            if name not in cache:
                cache[name] = Code(kilobytes, seed, small)
            if (release, name) not in cache:
                cache[release, name] = module(cache[name], release, seed)
            self[name] = cache[release, name]


def makedirs(path):
    os.makedirs(path, exist_ok=True)
    return path


def subset(src, dst, keep=None, drop=()):
    """Copies src to dst with only the relative paths in keep, or without those in drop."""
    if os.path.exists(dst):
        shutil.rmtree(dst)
    makedirs(dst)
    for folder, _, names in os.walk(src):
        for name in names:
            full = os.path.join(folder, name)
            rel = os.path.relpath(full, src).replace(os.sep, "/")
            if (keep is not None and rel not in keep) or rel in drop:
                continue
            target = os.path.join(dst, rel)
            makedirs(os.path.dirname(target))
            shutil.copyfile(full, target)


# The updater's order: the edition patches, the first that fits wins, then
# the shared ones (ui/ReleaseUpdateDlg.cpp).
DESCRIPTION = """\
# Velmora Release 8, made by scripts/make-release.py: rtptool release %(self)s
[release]
key = %(key)s
trust = %(trust)s
output = patches
product = Velmora
from = 7
to = 8

[installation standard]
old = trees/r7-standard
new = trees/r8-standard

[installation pro]
old = trees/r7-pro
new = trees/r8-pro

[patch r7r8s]
old = parts/r7r8s-old
new = parts/r7r8s-new
fits = standard
refuses = pro

[patch r7r8p]
old = parts/r7r8p-old
new = parts/r7r8p-new
fits = pro
refuses = standard

[patch postpatch]
old = parts/postpatch-old
new = parts/postpatch-new
fits = standard pro

[patch taxtbl]
old = parts/taxtbl-old
new = parts/taxtbl-new
fits = standard pro
"""


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bin", required=True, help="the Windows build's demo-bin folder")
    parser.add_argument("--tool", required=True, help="the host rtptool")
    parser.add_argument("--out", required=True)
    parser.add_argument("--key", default=os.path.normpath(TEST_KEY),
                        help="private key the patches are signed with (default: the test key)")
    parser.add_argument("--trust", default=os.path.normpath(TEST_PUBLIC),
                        help="public key the checks trust (default: the test key's)")
    parser.add_argument("--small", action="store_true", help="small modules, for tests")
    args = parser.parse_args()

    trees = makedirs(os.path.join(args.out, "trees"))
    parts = makedirs(os.path.join(args.out, "parts"))
    cache = {}
    for release in (7, 8):
        for edition in ("Standard", "Pro"):
            make_tree(os.path.join(trees, "r%d-%s" % (release, edition.lower())), args.bin, release, edition,
                      Modules(release, edition, args.small, cache))

    shared = POSTPATCH_FILES + TAXTBL_FILES
    for edition, name in (("standard", "r7r8s"), ("pro", "r7r8p")):
        subset(os.path.join(trees, "r7-" + edition), os.path.join(parts, name + "-old"), drop=shared)
        subset(os.path.join(trees, "r8-" + edition), os.path.join(parts, name + "-new"), drop=shared)
    for files, name in ((POSTPATCH_FILES, "postpatch"), (TAXTBL_FILES, "taxtbl")):
        subset(os.path.join(trees, "r7-standard"), os.path.join(parts, name + "-old"), keep=files)
        subset(os.path.join(trees, "r8-standard"), os.path.join(parts, name + "-new"), keep=files)

    description = os.path.join(args.out, "release.ini")
    write(description, DESCRIPTION % {"self": "release.ini", "key": os.path.abspath(args.key),
                                      "trust": os.path.abspath(args.trust)})
    result = subprocess.run([args.tool, "release", description], stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True)
    for line in result.stdout.splitlines():
        print("make-release: " + line)
    if result.returncode != 0:
        sys.exit("make-release: rtptool release failed (%d)" % result.returncode)


if __name__ == "__main__":
    main()
