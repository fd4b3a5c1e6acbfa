#!/usr/bin/python3
"""Builds a fake release for the setup host: the files of a version folder, published with
publish.py (archives, signed release file, version document), and tells what an install of it
must look like."""
import argparse
import hashlib
import os
import random
import shutil
import struct
import sys
import tempfile
import zipfile
import zlib

import publish

# Order matters: a later package's file replaces an earlier one's at the same path.
PLAYER_ARCHIVES = publish.PLAYER_PACKAGES
STUDIO_ARCHIVES = [publish.STUDIO_PACKAGE]
ARCHIVES = PLAYER_ARCHIVES + STUDIO_ARCHIVES
TOOLS = os.path.dirname(os.path.abspath(__file__))
# For tests only: the secret half of the first of the dev presets' VELMORA_RELEASE_PUBLIC_KEY.
TEST_KEY = os.path.join(TOOLS, "test-release-key.key")

FIXED_TIME = (2024, 1, 1, 0, 0, 0)
WORDS = ("velmora sky terrain shader glyph texel voxel ember harbor lantern meadow quartz "
         "river summit tundra willow").split()


def png(width, height, seed=0):
    """A valid RGBA PNG with a gradient, so a viewer shows something recognisable."""
    rows = bytearray()
    for y in range(height):
        rows.append(0)
        for x in range(width):
            rows += bytes(((x * 255) // max(1, width - 1), (y * 255) // max(1, height - 1),
                           (seed * 37) & 0xFF, 255))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(bytes(rows), 9)) + chunk(b"IEND", b""))


def _info(name, mode):
    zi = zipfile.ZipInfo(name, FIXED_TIME)
    zi.create_system = 3  # Unix, so extractors honour the permission bits
    zi.external_attr = (mode & 0xFFFF) << 16
    if name.endswith("/"):
        zi.external_attr |= 0x10  # MS-DOS directory flag
    return zi


class Package:
    """Collects entries, then writes them with folder entries first: a hand-made archive for
    tests that need one publish.py would not make."""

    def __init__(self):
        self.entries = []  # (name, bytes | callable(write), size, mode, stored)

    def add(self, name, data, mode=0o644):
        self.entries.append((name, data, len(data), mode, False))

    def add_random(self, name, size, rng):
        def write(out):
            left = size
            while left:
                n = min(left, 16 << 20)
                out.write(rng.randbytes(n))
                left -= n
        self.entries.append((name, write, size, 0o644, True))

    def write(self, path):
        folders = sorted({n[:i + 1] for n, *_ in self.entries for i, c in enumerate(n) if c == "/"})
        with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED, allowZip64=True) as zf:
            for d in folders:
                zf.writestr(_info(d, 0o40755), b"")
            for name, data, size, mode, stored in self.entries:
                zi = _info(name, 0o100000 | mode)
                zi.compress_type = zipfile.ZIP_STORED if stored else zipfile.ZIP_DEFLATED
                zi.file_size = size
                with zf.open(zi, "w", force_zip64=size >= zipfile.ZIP64_LIMIT) as out:
                    data(out) if callable(data) else out.write(data)


def _text(rng, size, header):
    base = " ".join(rng.choice(WORDS) for _ in range(4096)).encode()
    out = bytearray(header.encode())
    while len(out) < size:
        start = rng.randrange(len(base) // 2)
        out += base[start:start + rng.randrange(64, 512)] + b"\n"
    return bytes(out[:size])


def _dir_files(folder):
    for dirpath, dirnames, filenames in os.walk(folder):
        dirnames.sort()
        for fn in sorted(filenames):
            full = os.path.join(dirpath, fn)
            if os.path.isfile(full) and not os.path.islink(full):
                yield os.path.relpath(full, folder).replace(os.sep, "/"), full


def _copy_tree(source, target):
    for rel, full in _dir_files(source):
        dest = os.path.join(target, rel)
        os.makedirs(os.path.dirname(dest), exist_ok=True)
        shutil.copyfile(full, dest)
        os.chmod(dest, os.stat(full).st_mode & 0o777)


def build(version, out, player_dir, studio_dir, bulk_mb=0, small_files=2000,
          icon_size=(48, 48), version_file=True, seed=1, published=None, key=TEST_KEY,
          big_files=None, heavy=None, file_list=True):
    """Publishes `version` into `out`, signed with `key` unless it is None; `published`
    defaults to now. `big_files` fixes how many large files the bulk is split into; with
    `heavy` (a share), the first content package holds that share of the bulk, as a game's
    texture package does."""
    os.makedirs(out, exist_ok=True)
    folders = dict(ARCHIVES)
    vseed = sum(version.encode())
    with tempfile.TemporaryDirectory(prefix=".files-", dir=out) as files:
        def put(rel, data):
            path = os.path.join(files, rel)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                data(f) if callable(data) else f.write(data)

        _copy_tree(player_dir, files)
        put("content/icon.png", png(*icon_size, seed=vseed))
        put("release-notes.txt", f"Velmora player {version}\n".encode())
        _copy_tree(studio_dir, os.path.join(files, folders["WindowsStudio.zip"]))

        for name, folder in PLAYER_ARCHIVES[1:]:
            stem = name[:-4]
            rng = random.Random(f"{seed}:{version}:{stem}")
            put(folder + "manifest.txt", f"{stem} {version}\n".encode())
            put(f"{folder}{stem}-a.dat", rng.randbytes(rng.randrange(200, 4000)))
            put(f"{folder}sub/{stem}-b.txt", _text(rng, rng.randrange(100, 3000), f"{stem} {version}\n"))

        if bulk_mb:
            targets = [folder for _, folder in PLAYER_ARCHIVES]
            rng = random.Random(f"{seed}:{version}:bulk")
            small_total = 0
            for i in range(small_files):
                size = rng.randrange(1024, 16 * 1024 + 1)
                small_total += size
                put(f"{targets[i % len(targets)]}bulk/d{i % 37:02d}/f{i:05d}.txt",
                    _text(rng, size, f"{version} #{i}\n"))
            big_total = max(0, bulk_mb * (1 << 20) - small_total)
            count = big_files or max(3, min(10, big_total // (32 << 20) + 1))
            sizes = [(targets[1 + i % (len(targets) - 1)], big_total // count) for i in range(count)]
            if heavy:
                held = min(big_total, int(heavy * bulk_mb * (1 << 20)))
                pieces = max(1, -(-held // (32 << 20)))
                others = len(targets) - 2
                sizes = [(targets[1], held // pieces)] * pieces + [
                    (targets[2 + i % others], (big_total - held) // count) for i in range(count)]
            for i, (folder, size) in enumerate(sizes):
                def random_bytes(f, size=size, rng=random.Random(f"{seed}:{version}:big{i}")):
                    left = size
                    while left:
                        n = min(left, 16 << 20)
                        f.write(rng.randbytes(n))
                        left -= n
                put(f"{folder}bulk/big{i}.bin", random_bytes)

        publish.publish(version, files, out, key=key, published=published,
                        version_document=version_file, file_list=file_list)


def patch(release_dir, old, new, out, share=0.01, seed=1, player_bytes=0, published=None,
          key=TEST_KEY, version_document=True, file_list=True):
    """Publishes `new` into `out`: the files of `old` as its archives in `release_dir` hold them,
    with the player's notes and about `share` of each content package's files changed (a few
    bytes each, sizes kept), and, with `player_bytes`, that many random bytes appended to the
    player's program (which still runs). Returns the paths changed, below the version folder."""
    os.makedirs(out, exist_ok=True)
    rng = random.Random(f"{seed}:{old}:{new}")
    with tempfile.TemporaryDirectory(prefix=".patch-", dir=out) as files:
        for name, prefix in ARCHIVES:
            with zipfile.ZipFile(os.path.join(release_dir, f"{old}-{name}")) as zf:
                for zi in zf.infolist():
                    if zi.is_dir():
                        continue
                    target = os.path.join(files, prefix + zi.filename)
                    os.makedirs(os.path.dirname(target), exist_ok=True)
                    with zf.open(zi) as f, open(target, "wb") as t:
                        shutil.copyfileobj(f, t)
                    os.chmod(target, 0o755 if (zi.external_attr >> 16) & 0o100 else 0o644)
        changed = ["release-notes.txt"]
        with open(os.path.join(files, "release-notes.txt"), "a") as f:
            f.write(f"Velmora player {new}\n")
        if player_bytes:
            changed.append("velmora-player.exe")
            with open(os.path.join(files, "velmora-player.exe"), "ab") as f:
                f.write(random.Random(f"{seed}:{new}:player").randbytes(player_bytes))
        for _, prefix in PLAYER_ARCHIVES[1:]:
            inside = sorted(rel for rel, _ in _dir_files(os.path.join(files, prefix)))
            for rel in rng.sample(inside, max(1, round(len(inside) * share))):
                path = os.path.join(files, prefix, rel)
                with open(path, "r+b") as f:
                    data = bytearray(f.read())
                    for _ in range(4):
                        if data:
                            data[rng.randrange(len(data))] ^= 0x5A
                    f.seek(0)
                    f.write(data)
                changed.append(prefix + rel)
        publish.publish(new, files, out, key=key, published=published,
                        version_document=version_document, file_list=file_list)
    return changed


def _hash_stream(f):
    h = hashlib.sha256()
    while chunk := f.read(1 << 20):
        h.update(chunk)
    return h.hexdigest()


def expected_tree(release_dir, version, studio=True):
    """{path relative to the version folder: sha256} that installing these packages must give."""
    tree = {}
    for name, prefix in PLAYER_ARCHIVES + (STUDIO_ARCHIVES if studio else []):
        with zipfile.ZipFile(os.path.join(release_dir, f"{version}-{name}")) as zf:
            for zi in zf.infolist():
                if not zi.is_dir():
                    with zf.open(zi) as f:
                        tree[prefix + zi.filename] = _hash_stream(f)
    return tree


def expected_records(release_dir, version):
    """{name: sha256} of the records a complete version keeps when its release has a release
    file: that file, and what each player package installed in the launcher's format."""
    release = os.path.join(release_dir, f"{version}-release.txt")
    if not os.path.exists(release):
        return {}
    # With a file list, only the package whose entry is left at a path writes it.
    owner = {}
    if os.path.exists(os.path.join(release_dir, f"{version}-{publish.FILE_LIST}")):
        for name, prefix in PLAYER_ARCHIVES:
            with zipfile.ZipFile(os.path.join(release_dir, f"{version}-{name}")) as zf:
                owner.update({(prefix + zi.filename).lower(): name for zi in zf.infolist()
                              if not zi.is_dir()})
    text = ""
    for name, prefix in PLAYER_ARCHIVES:
        path = os.path.join(release_dir, f"{version}-{name}")
        with open(path, "rb") as f:
            archive = _hash_stream(f)
        lines = []
        with zipfile.ZipFile(path) as zf:
            for zi in zf.infolist():
                if zi.is_dir():
                    lines.append((prefix + zi.filename, f"folder {prefix}{zi.filename}"))
                elif owner.get((prefix + zi.filename).lower(), name) == name:
                    with zf.open(zi) as f:
                        lines.append((prefix + zi.filename,
                                      f"file {_hash_stream(f)} {zi.file_size} {prefix}{zi.filename}"))
        # In name order (as bytes), however the package arrived.
        lines.sort(key=lambda line: line[0].encode())
        listed = "".join(line + "\n" for _, line in lines)
        # The list's own SHA-256 ties it to the archive it was unpacked from.
        tie = hashlib.sha256(f"{archive} {name}\n{listed}".encode()).hexdigest()
        text += f"package {archive} {name} {tie}\n{listed}"
    with open(release, "rb") as f:
        return {".release": _hash_stream(f), ".files": hashlib.sha256(text.encode()).hexdigest()}


def installed_tree(folder):
    """The same shape as expected_tree, read from a real folder."""
    tree = {}
    for rel, full in _dir_files(folder):
        # What the file system said of each file: nothing a release can predict.
        if rel == ".identities":
            continue
        with open(full, "rb") as f:
            tree[rel] = _hash_stream(f)
    return tree


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--version", required=True)
    ap.add_argument("--out", required=True)
    ap.add_argument("--player-dir", required=True)
    ap.add_argument("--studio-dir", required=True)
    ap.add_argument("--bulk-mb", type=int, default=0)
    ap.add_argument("--small-files", type=int, default=2000)
    ap.add_argument("--icon-size", default="48x48")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--no-version-file", action="store_true")
    ap.add_argument("--published", type=int, help="seconds since 1970 (default: now)")
    ap.add_argument("--unsigned", action="store_true", help="no signature with the test key")
    a = ap.parse_args()
    try:
        w, h = (int(v) for v in a.icon_size.lower().split("x"))
    except ValueError:
        ap.error("--icon-size must look like 48x48")
    for d in (a.player_dir, a.studio_dir):
        if not os.path.isdir(d):
            ap.error(f"not a folder: {d}")
    build(a.version, a.out, a.player_dir, a.studio_dir, a.bulk_mb, a.small_files, (w, h),
          not a.no_version_file, a.seed, a.published, None if a.unsigned else TEST_KEY)


if __name__ == "__main__":
    sys.exit(main())
