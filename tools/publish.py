#!/usr/bin/python3
"""Turns a folder of built files, laid out like an installed version folder, into what the setup
host serves: the package ZIPs, the file list, the release file, its minisign signature and, last,
the version document.

    tools/publish.py --version V --files DIR --out DIR --key SECRET.key

The archives are deterministic: the same files always give the same bytes (sorted entries, one
fixed time, modes 644/755 only), so a package whose files did not change keeps its SHA-256 from
release to release. Each file goes to the package whose folder (install/packages.txt) is the
longest prefix of its path. The file list names every file with its size, SHA-256 and where its
entry lies in its archive, so a launcher can fetch one file with a range request; the release file
lists it like an archive, so the signature covers it. Upload everything else before the version
document: a client that sees a new version must find its archives and release file already there.
The tool writes `cache-control.txt` beside them: the Cache-Control header each file should carry.
"""
import argparse
import hashlib
import os
import re
import struct
import subprocess
import sys
import time
import zipfile
import zlib

from case_fold import fold

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PACKAGES_FILE = os.path.join(ROOT, "install", "packages.txt")
# The ZIP format's own epoch: any constant keeps archives reproducible.
FIXED_TIME = (1980, 1, 1, 0, 0, 0)
CHUNK = 1 << 20
# The file list's name in the release file; on the host it is "<version>-files.txt".
FILE_LIST = "files.txt"
# Version-named files never change once uploaded; the version document announces releases.
CACHE_FOREVER = "public, max-age=31536000, immutable"
CACHE_VERSION_DOCUMENT = "public, max-age=60"
VERSION_RE = re.compile(r"[A-Za-z0-9._-]{1,64}")


def read_packages(path=PACKAGES_FILE):
    """([(archive, folder)] of the player in install order, (archive, folder) of the studio)."""
    player, studio = [], None
    with open(path) as f:
        for line in f:
            fields = line.split()
            if not fields or fields[0].startswith("#"):
                continue
            name, folder = fields[0], "" if fields[1] == "." else fields[1]
            if fields[2:] == ["studio"]:
                studio = (name, folder)
            else:
                player.append((name, folder))
    return player, studio


PLAYER_PACKAGES, STUDIO_PACKAGE = read_packages()
ALL_PACKAGES = PLAYER_PACKAGES + [STUDIO_PACKAGE]


class PublishError(Exception):
    pass


def _walk(files_dir):
    """(path relative to files_dir with '/', full path, is a folder), sorted, links refused."""
    for dirpath, dirnames, filenames in os.walk(files_dir):
        dirnames.sort()
        for name in sorted(dirnames + filenames):
            full = os.path.join(dirpath, name)
            rel = os.path.relpath(full, files_dir).replace(os.sep, "/")
            if os.path.islink(full):
                raise PublishError(f"refusing symbolic link {rel}: the launcher installs only files")
            if os.path.isdir(full):
                yield rel, full, True
            elif os.path.isfile(full):
                yield rel, full, False
            else:
                raise PublishError(f"refusing {rel}: neither a file nor a folder")


def assign(files_dir):
    """{archive: {entry name: full path or None for a folder}} for every package."""
    contents = {name: {} for name, _ in ALL_PACKAGES}
    folders = {prefix for _, prefix in ALL_PACKAGES}
    by_length = sorted(ALL_PACKAGES, key=lambda p: len(p[1]), reverse=True)
    seen = {}
    for rel, full, folder in _walk(files_dir):
        # Windows would make one file of both, and a launcher refuses the list.
        other = seen.setdefault(fold(rel), rel)
        if other != rel:
            raise PublishError(f"refusing {rel}: Windows takes it and {other} for one name")
        key = rel + "/" if folder else rel
        if key in folders:
            continue  # the launcher makes a package's folder before unpacking into it
        for name, prefix in by_length:
            if key.startswith(prefix):
                entries = contents[name]
                inside = key[len(prefix):]
                entries[inside] = None if folder else full
                # Folders above a file are entries too, so extraction gives them our modes.
                parts = inside.split("/")[:-1]
                for i in range(1, len(parts) + 1):
                    entries.setdefault("/".join(parts[:i]) + "/", None)
                break
    return contents


def _compressible(path):
    """Deflate only what shrinks: random or packed data is stored. Decided from the first MiB."""
    with open(path, "rb") as f:
        sample = f.read(CHUNK)
    return not sample or len(zlib.compress(sample, 6)) < len(sample) * 0.97


def write_archive(path, entries):
    """Writes {entry name: full path or None} as a ZIP whose bytes depend only on the files."""
    with zipfile.ZipFile(path, "w", allowZip64=True) as zf:
        for name in sorted(entries):
            source = entries[name]
            zi = zipfile.ZipInfo(name, FIXED_TIME)
            zi.create_system = 3  # Unix, so extractors read the mode bits below
            if source is None:
                zi.external_attr = (0o40755 << 16) | 0x10  # and the MS-DOS folder flag
                zf.writestr(zi, b"")
                continue
            executable = os.stat(source).st_mode & 0o100
            zi.external_attr = (0o100755 if executable else 0o100644) << 16
            zi.compress_type = zipfile.ZIP_DEFLATED if _compressible(source) else zipfile.ZIP_STORED
            size = os.path.getsize(source)
            zi.file_size = size
            with open(source, "rb") as f, zf.open(zi, "w", force_zip64=size >= zipfile.ZIP64_LIMIT) as out:
                while chunk := f.read(CHUNK):
                    out.write(chunk)


def _sha256(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        while chunk := f.read(CHUNK):
            h.update(chunk)
    return h.hexdigest()


def _write_text(path, text):
    with open(path, "w", newline="\n") as f:
        f.write(text)


def _replace(path, write):
    """Writes through a temporary name, so the host never serves half a file."""
    tmp = path + ".tmp"
    write(tmp)
    os.replace(tmp, path)


def _entries(path):
    """[(entry name, None for a folder or (sha256, size, mode, method, offset of its local
    header, bytes to the end of its data, compressed size))] of a ZIP, as it really is."""
    entries = []
    with zipfile.ZipFile(path) as zf, open(path, "rb") as raw:
        for zi in zf.infolist():
            if zi.is_dir():
                entries.append((zi.filename, None))
                continue
            raw.seek(zi.header_offset)
            header = raw.read(30)
            if len(header) < 30 or struct.unpack_from("<I", header)[0] != 0x04034B50:
                raise PublishError(f"{path}: no local header for {zi.filename}")
            name_length, extra_length = struct.unpack_from("<HH", header, 26)
            h = hashlib.sha256()
            with zf.open(zi) as f:
                while chunk := f.read(CHUNK):
                    h.update(chunk)
            mode = "755" if (zi.external_attr >> 16) & 0o100 else "644"
            entries.append((zi.filename, (h.hexdigest(), zi.file_size, mode, zi.compress_type,
                                          zi.header_offset,
                                          30 + name_length + extra_length + zi.compress_size,
                                          zi.compress_size)))
    return entries


def file_list_text(version, archives):
    """The file list of [(archive name, path)]: per package its folders and files, each file as
    "file <sha256> <size> <mode> <method> <offset> <length> <compressed size> <entry name>",
    names as in the archive (relative to the package's folder)."""
    lines = [f"files 1 {version}"]
    for name, path in archives:
        lines.append(f"package {name}")
        for entry, info in _entries(path):
            if info is None:
                lines.append(f"folder {entry}")
            else:
                lines.append("file " + " ".join(str(v) for v in info) + " " + entry)
    return "".join(line + "\n" for line in lines)


def write_file_list(version, out):
    """Writes `<version>-files.txt` from the archives `<version>-*` in `out`."""
    archives = [(name, os.path.join(out, f"{version}-{name}")) for name, _ in ALL_PACKAGES]
    text = file_list_text(version, archives)
    _replace(os.path.join(out, f"{version}-{FILE_LIST}"), lambda tmp: _write_text(tmp, text))


def release_text(version, published, archives):
    """The release file for [(name, path)] of the archives and the file list."""
    lines = [f"version {version}", f"published {published}"]
    lines += [f"{_sha256(path)} {os.path.getsize(path)} {name}" for name, path in archives]
    return "".join(line + "\n" for line in lines)


def write_release(version, out, published, key=None, minisign="minisign"):
    """Writes the release file of the archives `<version>-*` in `out` (and of its file list,
    when there is one), and its signature."""
    release = os.path.join(out, f"{version}-release.txt")
    archives = [(name, os.path.join(out, f"{version}-{name}")) for name, _ in ALL_PACKAGES]
    if os.path.exists(os.path.join(out, f"{version}-{FILE_LIST}")):
        archives.append((FILE_LIST, os.path.join(out, f"{version}-{FILE_LIST}")))
    text = release_text(version, published, archives)
    signature = release + ".minisig"
    # A signature left from an earlier run must not sit beside a new release file.
    if os.path.exists(signature):
        os.remove(signature)
    _replace(release, lambda tmp: _write_text(tmp, text))
    if key is not None:
        def sign(tmp):
            result = subprocess.run([minisign, "-S", "-s", key, "-m", release, "-x", tmp,
                                     "-t", f"velmora release {version} published {published}"],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
            if result.returncode != 0:
                raise PublishError(f"minisign failed: {result.stderr.strip()}")
        _replace(signature, sign)


def write_cache_control(out):
    """cache-control.txt: for each file in `out` the Cache-Control header the host should send."""
    names = sorted(n for n in os.listdir(out) if n != "cache-control.txt" and not n.startswith("_")
                   and not n.endswith(".tmp") and os.path.isfile(os.path.join(out, n)))
    lines = [f"{n} {CACHE_VERSION_DOCUMENT if n == 'version' else CACHE_FOREVER}" for n in names]
    _replace(os.path.join(out, "cache-control.txt"),
             lambda tmp: _write_text(tmp, "".join(line + "\n" for line in lines)))


def publish(version, files_dir, out, key=None, published=None, version_document=True,
            minisign="minisign", file_list=True):
    """Writes the release of `files_dir` into `out`; returns {archive name: path}."""
    if not VERSION_RE.fullmatch(version) or ".." in version or version.endswith("."):
        raise PublishError(f"invalid version: {version!r}")
    if not os.path.isdir(files_dir):
        raise PublishError(f"not a folder: {files_dir}")
    published = int(time.time()) if published is None else int(published)
    os.makedirs(out, exist_ok=True)
    contents = assign(files_dir)
    paths = {}
    for name, _ in ALL_PACKAGES:
        paths[name] = os.path.join(out, f"{version}-{name}")
        _replace(paths[name], lambda tmp, entries=contents[name]: write_archive(tmp, entries))
    listed = os.path.join(out, f"{version}-{FILE_LIST}")
    if file_list:
        write_file_list(version, out)
    elif os.path.exists(listed):
        os.remove(listed)
    write_release(version, out, published, key, minisign)
    if version_document:
        _replace(os.path.join(out, "version"), lambda tmp: _write_text(tmp, version + "\n"))
    write_cache_control(out)
    return paths


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0].replace("\n", " "))
    ap.add_argument("--version", required=True, help="the version's name, e.g. version-20261206000000")
    ap.add_argument("--files", required=True, help="the built files, laid out as a version folder")
    ap.add_argument("--out", required=True, help="where to write what the setup host serves")
    signing = ap.add_mutually_exclusive_group(required=True)
    signing.add_argument("--key", help="minisign secret key that signs the release file")
    signing.add_argument("--unsigned", action="store_true",
                         help="write no signature (launchers built with a public key refuse it)")
    ap.add_argument("--published", type=int, help="seconds since 1970 (default: now); never "
                    "earlier than the release before it, or launchers refuse it")
    ap.add_argument("--no-version-document", action="store_true",
                    help="leave the version document out, to announce the release later")
    ap.add_argument("--no-file-list", action="store_true",
                    help="publish no file list (launchers then download whole archives only)")
    ap.add_argument("--minisign", default="minisign", help="the minisign program")
    a = ap.parse_args()
    try:
        publish(a.version, a.files, a.out, a.key, a.published, not a.no_version_document, a.minisign,
                not a.no_file_list)
    except (PublishError, OSError) as e:
        print(f"publish: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
