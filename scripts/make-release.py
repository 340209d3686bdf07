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
test key (which the default build of PATCHW32.dll trusts).
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


# The product's modules: name -> (megabytes at full size, seed). The pro
# edition ships one more.
MODULES = {"ledger": (10, 11), "reports": (6, 12), "forms": (4, 13)}
PRO_MODULES = {"analysis": (6, 14)}
IMAGE_BASE = 0x10000000


def module(release, megabytes, seed, small):
    """An x86-like code section followed by a string table. Each function's
    body depends only on its own seed, so Release 8 keeps them, but inserts a
    few new functions and strings and edits a few bodies: like a rebuild,
    everything after an insertion moves, and every rel32 call and absolute
    address that crosses it changes."""
    size = (megabytes << 20) // (16 if small else 1)
    count = size // 110
    rng = random.Random(seed)
    ids = list(range(count))
    nstrings = count // 8
    strings = [(i, "%s_%d: %s\0" % (("msg", "err", "fmt")[i % 3], i, "x" * (i % 23))) for i in range(nstrings)]
    new = list(range(count, count + 6)) if release >= 8 else []
    for k, f in enumerate(new):
        ids.insert(rng.randrange(len(ids)), f)
        strings.insert(rng.randrange(len(strings)), (nstrings + k, "new in release 8, %d\0" % k))
    edited = rng.sample(range(count), max(len(new), count // 400)) if new else []

    bodies = {}
    for f in ids:
        r = random.Random(seed * 1000003 + f)
        body = []
        for _ in range(r.randint(6, 30)):
            kind = r.random()
            if kind < 0.18:
                body.append(("call", r.randrange(count)))
            elif kind < 0.3:
                body.append(("data", r.randrange(nstrings)))
            elif kind < 0.4:
                body.append(("jz", r.randint(0, 60)))
            else:
                body.append(("op", r.choice(OPCODES) + bytes([r.randrange(256)])))
        bodies[f] = body
    # The edits call the new functions and use the new strings.
    for k, f in enumerate(edited):
        bodies[f] = bodies[f] + [("call", new[k % len(new)]), ("data", nstrings + k % len(new))]

    start = IMAGE_BASE + 0x1000
    addr, at = start, {}
    for f in ids:
        at[f] = addr
        n = 6 + 4 + sum(5 if k in ("call", "data") else 6 if k == "jz" else len(v) for k, v in bodies[f])
        addr += (n + 15) & ~15
    string_at = {}
    for i, text in strings:
        string_at[i] = addr
        addr += len(text)

    out = bytearray()
    for f in ids:
        out += b"\x55\x8b\xec\x83\xec\x20"
        for kind, value in bodies[f]:
            pos = start + len(out)
            if kind == "call":
                out += b"\xe8" + struct.pack("<i", at[value] - (pos + 5))
            elif kind == "data":
                out += b"\x68" + struct.pack("<I", string_at[value])
            elif kind == "jz":
                out += b"\x0f\x84" + struct.pack("<i", value)
            else:
                out += value
        out += b"\x8b\xe5\x5d\xc3"
        out += b"\xcc" * (-len(out) % 16)
    for _, text in strings:
        out += text.encode("ascii")
    return bytes(out)

OPCODES = [b"\x8b\x45", b"\x89\x45", b"\x8b\x4d", b"\x03\x45", b"\x33\xc0\x83\xf8", b"\xc7\x45\xf8\x00\x00\x00",
           b"\x85\xc0\x74", b"\x8d\x4d", b"\x6a", b"\x83\xc4"]


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
        for name, (megabytes, seed) in sorted({**MODULES, **(PRO_MODULES if edition == "Pro" else {})}.items()):
            if (release, name) not in cache:
                cache[release, name] = module(release, megabytes, seed, small)
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
