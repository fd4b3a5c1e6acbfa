#!/usr/bin/env python3
"""Writes the seed corpus under fuzz/corpus/. Deterministic: running it again
gives byte-identical files, so the checked-in output can be diffed."""

import io
import pathlib
import shutil
import stat
import subprocess
import tempfile
import warnings
import zipfile

HERE = pathlib.Path(__file__).resolve().parent
CORPUS = HERE / "corpus"
DOMAIN = "velmora.com"  # the dev preset's site domain
WEB = "www." + DOMAIN
WHEN = (2026, 1, 1, 0, 0, 0)


def links():
    prefix = "velmora-player:1"
    play = "+launchmode:play+placelauncherurl:http%3A%2F%2F"
    return {
        # The launcher's self-test links.
        "play": prefix + "+launchmode:play+gameinfo:TICKET123+placelauncherurl:http%3A%2F%2F" + WEB
        + "%3A8080%2FGame%2FPlaceLauncher.ashx%3FplaceId%3D1+browsertrackerid:42",
        "edit": prefix + "+launchmode:edit+gameinfo:T+script:https%3A%2F%2F" + WEB
        + "%2FGame%2FEdit.ashx%3FPlaceID%3D1+avatar:1",
        "edit_bare": prefix + "+launchmode:edit",
        "foreign_script": prefix + "+launchmode:edit+script:http%3A%2F%2Fevil.example%2Fx",
        "suffix_only": prefix + play + "evil" + DOMAIN + "%2Fx",
        "query_in_host": prefix + play + "evil.example%3F." + WEB + "%2Fx",
        "fragment_in_host": prefix + play + "evil.example%23." + WEB + "%2Fx",
        "userinfo": prefix + play + WEB + "%40evil." + DOMAIN + "%2Fx",
        "file_scheme": prefix + "+launchmode:edit+script:file%3A%2F%2F" + WEB + "%2Fetc%2Fpasswd",
        "unknown_mode": prefix + "+launchmode:build",
        # Tricky shapes the self-test does not cover.
        "no_prefix": "launchmode:play+placelauncherurl:https://" + WEB + "/g+gameinfo:-j",
        "upper_keys": prefix + "+LaunchMode:play+PlaceLauncherUrl:https%3A%2F%2F" + DOMAIN + "%2F",
        "duplicate_fields": prefix + play + WEB + "%2Fa+placelauncherurl:https://evil.example/",
        "encoded_nul": prefix + play + WEB + "%00.evil.example%2Fx",
        "encoded_plus": prefix + play + WEB + "%2Fa%2Bb%2525+browsertrackerid:-a",
        "backslash": prefix + play + WEB + "%5C%40evil.example%2Fx",
        "port_junk": prefix + play + WEB + "%3A8x%3A9%2Fp",
        "empty_label": prefix + play + "." + DOMAIN + "%2Fx",
        "bare_url": "https://a.b." + DOMAIN + "/x#y",
        "url_no_path": "http://" + WEB,
        "edit_ticket_flag": prefix + "+launchmode:edit+gameinfo:-script+browsertrackerid:-ide",
    }


def quoting():
    # First byte: the delimiter; first piece: the program.
    return {
        "plain": "\nC:\\Program Files\\Velmora\\velmora.exe\n--play\n-a\nhttps://www.velmora.com/x",
        "backslashes": "\np\nC:\\dir\\\na\\b\\c\n\\\\server\\share\\\\\n\\",
        "quotes": '\np\nsay "hi"\nx\\"y\n"\n""\n\\"\n\\\\"',
        "blanks": "\np q\n\n \n\t\na b\t c\n",
        "mixed": '|"quoted program"|a\\\\"b c"|""|\\\\\\"x|end\\',
        "nul": "\x01p\x00q\x01\x00\x01a\x00b",
        "ill_formed": b"\np\nq=\xe9\n\xed\xa0\x80/x\n\xf0\x9f\x98\n\xc0\xaf\xf4\x90\x80\x80",
    }


def versions():
    return {
        "plain": "version-20260101000000",
        "newline": "version-20260301000000\r\n",
        "quoted": '"version-abc_1.2"\n',
        "spaced": ' 1 . 2 . 3 \t',
        "dotdot": "..",
        "dot": ".",
        "trailing_dot": "v1.",
        "device": "COM1.txt",
        "device_nul": "nul",
        "too_long": "v" * 65,
        "max_len": "v" * 64,
        "slash": "../etc",
        "empty": "",
        "utf8": "v\u00e9",
        "staging": "version-1.PARTIAL",
    }


def entry(name, mode, directory=False):
    info = zipfile.ZipInfo(name, WHEN)
    info.create_system = 3  # Unix, so the mode bits below are read
    info.external_attr = (mode << 16) | (0x10 if directory else 0)
    return info


def make_zip(entries, compression=zipfile.ZIP_STORED):
    """entries: (name, data, mode); data None makes a folder."""
    buffer = io.BytesIO()
    warnings.filterwarnings("ignore", "Duplicate name", UserWarning)  # wanted here
    with zipfile.ZipFile(buffer, "w", compression) as z:
        for name, data, mode in entries:
            if data is None:
                z.writestr(entry(name, stat.S_IFDIR | mode, True), b"")
            else:
                z.writestr(entry(name, mode, False), data, compress_type=compression)
    return buffer.getvalue()


def archives():
    f = stat.S_IFREG | 0o644
    return {
        "files_and_folders.zip": make_zip(
            [("readme.txt", b"hello\n", f), ("bin/", None, 0o755), ("bin/app.exe", b"MZ" + bytes(30), f | 0o111),
             ("content/fonts/a.ttf", b"font" * 20, f)], zipfile.ZIP_DEFLATED),
        "stored.zip": make_zip([("a.txt", b"a", f), ("sub/b.txt", b"b", f)]),
        "windows_separators.zip": make_zip([("dir\\sub\\file.txt", b"x", f)]),
        "dot_entries.zip": make_zip([("./", None, 0o755), ("./a.txt", b"a", f), ("dir/./b.txt", b"b", f)]),
        "duplicates.zip": make_zip([("same.txt", b"1", f), ("same.txt", b"2", f), ("x", b"file", f),
                                    ("x/", None, 0o755)]),
        "locked_folder.zip": make_zip([("locked/f.txt", b"f", f), ("locked/", None, 0o000)]),
        "utf8_names.zip": make_zip([("d\u00e9/\u00fc.txt", b"u", f)]),
        "empty.zip": make_zip([]),
        "traversal_dotdot.zip": make_zip([("../escape.txt", b"out", f)]),
        "traversal_nested.zip": make_zip([("a/", None, 0o755), ("a/../../escape.txt", b"out", f)]),
        "traversal_backslash.zip": make_zip([("..\\..\\escape.txt", b"out", f)]),
        "absolute.zip": make_zip([("/tmp/velmora-fuzz-absolute.txt", b"out", f)]),
        "drive.zip": make_zip([("C:/escape.txt", b"out", f), ("C:escape.txt", b"out", f)]),
        "symlink.zip": make_zip([("link", b"../../..", stat.S_IFLNK | 0o777), ("link/escape.txt", b"out", f)]),
        "device_names.zip": make_zip([("ok.txt", b"ok", f), ("sub/con.txt", b"dev", f)]),
    }


def releases():
    """A release file signed by minisign with the test key, both forms; the fixed
    trusted comment keeps the signatures the same from run to run."""
    tools = HERE.parent / "tools"
    head = "version 1\npublished 1767225600\n"
    text = head + "".join(f"{'%064x' % i} {i * 1000} {name}\n" for i, name in
                          enumerate(["WindowsPlayer.zip", "shaders.zip", "WindowsStudio.zip"]))
    seeds = {"release": text, "release_crlf": text.replace("\n", "\r\n"), "release_header": head,
             "public_key": (tools / "test-release-key.pub").read_text()}
    with tempfile.TemporaryDirectory() as tmp:
        path = pathlib.Path(tmp) / "release.txt"
        path.write_text(text)
        for name, flags in [("signature", []), ("signature_legacy", ["-l"])]:
            subprocess.run(["minisign", "-S", *flags, "-s", str(tools / "test-release-key.key"),
                            "-t", "version 1", "-m", str(path), "-x", str(path) + ".minisig"],
                           check=True, stdout=subprocess.DEVNULL)
            seeds[name] = (pathlib.Path(tmp) / "release.txt.minisig").read_text()
    return seeds


def file_lists():
    h = "%064x"
    head = "files 1 version-1\npackage WindowsPlayer.zip\nfolder content/\n"
    return {
        "list": head + f"file {h % 1} 3 755 0 38 51 3 velmora-player.exe\n"
        f"file {h % 2} 3893 644 8 89 1879 1830 content/a b.txt\npackage shaders.zip\n",
        "list_crlf": head.replace("\n", "\r\n"),
        "list_traversal": head + f"file {h % 3} 1 644 0 0 34 1 ../x\n",
        "list_case_twice": head + f"file {h % 4} 1 644 0 0 32 1 A\nfolder a/\n",
    }


def write(folder, files):
    target = CORPUS / folder
    shutil.rmtree(target, ignore_errors=True)
    target.mkdir(parents=True)
    for name, data in sorted(files.items()):
        (target / name).write_bytes(data.encode("utf-8") if isinstance(data, str) else data)


def main():
    write("fuzz_links", links())
    write("fuzz_quoting", quoting())
    write("fuzz_version", versions())
    write("fuzz_extract", archives())
    write("fuzz_release", releases())
    write("fuzz_file_list", file_lists())
    total = sum(p.stat().st_size for p in CORPUS.rglob("*") if p.is_file())
    print(f"wrote {CORPUS} ({total} bytes)")


if __name__ == "__main__":
    main()
