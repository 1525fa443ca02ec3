#!/usr/bin/env python3
"""Writes a package index for tests into DIRECTORY: a yt-dlp of the far future
whose "default" extra brings a yt-dlp-ejs, both as wheels made here, and a
page for each as a simple package index serves it (/simple/NAME/)."""
import base64
import hashlib
import pathlib
import sys
import zipfile

directory = pathlib.Path(sys.argv[1])
version = sys.argv[2] if len(sys.argv) > 2 else "2099.1.1"


def wheel(project, module, files, metadata):
    name = f"{module}-{version}-py3-none-any.whl"
    info = f"{module}-{version}.dist-info"
    files = dict(files)
    files[f"{info}/METADATA"] = f"Metadata-Version: 2.1\nName: {project}\nVersion: {version}\n" + metadata
    files[f"{info}/WHEEL"] = "Wheel-Version: 1.0\nGenerator: lark-tests\nRoot-Is-Purelib: true\nTag: py3-none-any\n"
    record = []
    for path, text in files.items():
        digest = base64.urlsafe_b64encode(hashlib.sha256(text.encode()).digest()).rstrip(b"=").decode()
        record.append(f"{path},sha256={digest},{len(text.encode())}")
    record.append(f"{info}/RECORD,,")
    files[f"{info}/RECORD"] = "\n".join(record) + "\n"
    with zipfile.ZipFile(directory / name, "w") as archive:
        for path, text in files.items():
            archive.writestr(path, text)
    digest = hashlib.sha256((directory / name).read_bytes()).hexdigest()
    (directory / project).write_text(f'<!DOCTYPE html><html><body><a href="/{name}#sha256={digest}">{name}</a></body></html>\n')


year, month, day = version.split(".")
wheel("yt-dlp", "yt_dlp", {
    "yt_dlp/__init__.py": "import sys\n\ndef main():\n"
                          f"    if '--version' in sys.argv:\n        print('{year}.{int(month):02}.{int(day):02}')\n",
    f"yt_dlp-{version}.dist-info/entry_points.txt": "[console_scripts]\nyt-dlp = yt_dlp:main\n",
}, 'Provides-Extra: default\nRequires-Dist: yt-dlp-ejs ; extra == "default"\n')
wheel("yt-dlp-ejs", "yt_dlp_ejs", {"yt_dlp_ejs/__init__.py": "SOLVERS = ()\n"}, "")
