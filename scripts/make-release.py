#!/usr/bin/env python3
"""Lays out the demo's Velmora 7 installations (standard and pro) and their
Release 8 trees, and makes the release's four patch files with rtptool.

  OUT/trees/r7-standard  r7-pro  r8-standard  r8-pro
  OUT/patches/r7r8s.rtp  r7r8p.rtp  postpatch.rtp  taxtbl.rtp

r7r8s and r7r8p bring each edition's own files to Release 8; postpatch
(shared/config.ini) and taxtbl (tax/tables.dat) fit both editions and run
after either. Everything is generated deterministically, but for the
patches' signatures: they are signed with --key, by default the repository's
test key (which the default build of PATCHW32.dll trusts).
"""
import argparse
import os
import random
import shutil
import subprocess
import sys

TEST_KEY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "keys", "test-release-key.pem")

# Files that the two shared patches own; the main patches leave them alone.
POSTPATCH_FILES = ["shared/config.ini"]
TAXTBL_FILES = ["tax/tables.dat"]


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    mode = "wb" if isinstance(data, bytes) else "w"
    with open(path, mode, newline="" if mode == "w" else None) as f:
        f.write(data)


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


def forms(release, edition):
    files = {
        "forms/invoice.frm": "Invoice form\r\nfields: number, date, customer, total\r\n"
        + ("layout: 2\r\nfield: vat-id\r\n" if release >= 8 else "layout: 1\r\n"),
        "forms/letter.frm": "Letter form\r\nfields: address, subject, body\r\n",
        "help/velmora.txt": "Velmora %s help, release %d\r\n" % (edition, release)
        + "Press F1 for help on the current field.\r\n" * 40,
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


def make_tree(root, bin_dir, release, edition):
    if os.path.exists(root):
        shutil.rmtree(root)
    shutil.copyfile(os.path.join(bin_dir, "r%d-%s" % (release, edition), "vlw32.exe"),
                    os.path.join(makedirs(root), "vlw32.exe"))
    shutil.copyfile(os.path.join(bin_dir, "r%d-core" % release, "vlwcore.dll"),
                    os.path.join(root, "vlwcore.dll"))
    for rel, text in forms(release, edition).items():
        write(os.path.join(root, rel), text)
    write(os.path.join(root, "tax", "tables.dat"), tax_tables(release))


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


def rtp(tool, key, old, new, patch):
    result = subprocess.run([tool, "make", old, new, patch, "--key", key], stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True)
    if result.returncode != 0:
        sys.exit("make-release: rtptool make %s failed (%d):\n%s" % (patch, result.returncode, result.stdout))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bin", required=True, help="the Windows build's demo-bin folder")
    parser.add_argument("--tool", required=True, help="the host rtptool")
    parser.add_argument("--out", required=True)
    parser.add_argument("--key", default=os.path.normpath(TEST_KEY),
                        help="private key the patches are signed with (default: the test key)")
    args = parser.parse_args()

    trees = makedirs(os.path.join(args.out, "trees"))
    patches = makedirs(os.path.join(args.out, "patches"))
    work = makedirs(os.path.join(args.out, "work"))
    for release in (7, 8):
        for edition in ("Standard", "Pro"):
            make_tree(os.path.join(trees, "r%d-%s" % (release, edition.lower())), args.bin, release, edition)

    shared = POSTPATCH_FILES + TAXTBL_FILES
    for edition, name in (("standard", "r7r8s"), ("pro", "r7r8p")):
        old = os.path.join(work, name + "-old")
        new = os.path.join(work, name + "-new")
        subset(os.path.join(trees, "r7-" + edition), old, drop=shared)
        subset(os.path.join(trees, "r8-" + edition), new, drop=shared)
        rtp(args.tool, args.key, old, new, os.path.join(patches, name + ".rtp"))
    for files, name in ((POSTPATCH_FILES, "postpatch"), (TAXTBL_FILES, "taxtbl")):
        old = os.path.join(work, name + "-old")
        new = os.path.join(work, name + "-new")
        subset(os.path.join(trees, "r7-standard"), old, keep=files)
        subset(os.path.join(trees, "r8-standard"), new, keep=files)
        rtp(args.tool, args.key, old, new, os.path.join(patches, name + ".rtp"))
    shutil.rmtree(work)
    for name in sorted(os.listdir(patches)):
        print("make-release: %-14s %8d bytes" % (name, os.path.getsize(os.path.join(patches, name))))


if __name__ == "__main__":
    main()
