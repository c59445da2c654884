"""Builds the pipeword package with Python's standard library alone: the build backend that
pyproject.toml names, in the source tree, so that `pip install ./python` needs nothing
downloaded (its isolated build environment stays empty).

The version is the project's, read from project() in ../CMakeLists.txt (in a source archive,
from its PKG-INFO) and written into the wheel as pipeword/_version.py. The archives are the
same bytes whenever they are built from the same sources: every member dated
SOURCE_DATE_EPOCH (1980-01-01 when it is unset), in a fixed order, with fixed modes.

    python3 pipeword_build.py DIR    writes pipeword-VERSION-py3-none-any.whl into DIR
"""
from __future__ import annotations

import base64
import gzip
import hashlib
import io
import os
import re
import sys
import tarfile
import time
import zipfile
from pathlib import Path
from typing import Any, Dict, List, Optional, Tuple

HERE = Path(__file__).resolve().parent
TOP = HERE.parent
ZIP_EPOCH = 315532800  # 1980-01-01, the earliest date a ZIP member can carry
SUMMARY = "Asks a pipeword server for its word over its named pipe, on Linux and Windows"


def version() -> str:
    pkg_info = HERE / "PKG-INFO"
    if pkg_info.exists():
        text, pattern = pkg_info.read_text(), r"^Version: (\S+)$"
    else:
        cmake = TOP / "CMakeLists.txt"
        if not cmake.exists():
            raise RuntimeError(f"pipeword_build: no {cmake}: build from pipeword's source tree")
        text, pattern = cmake.read_text(), r"^project\(pipeword VERSION ([0-9.]+)"
    found = re.search(pattern, text, re.M)
    if not found:
        raise RuntimeError("pipeword_build: no version found")
    return found.group(1)


def license_text() -> bytes:
    return ((HERE / "LICENSE") if (HERE / "LICENSE").exists() else (TOP / "LICENSE")).read_bytes()


def metadata(release: str) -> bytes:
    return (f"Metadata-Version: 2.1\nName: pipeword\nVersion: {release}\nSummary: {SUMMARY}\n"
            "License: MIT\nRequires-Python: >=3.8\n").encode()


def sources() -> List[Tuple[str, bytes]]:
    """The package's files, by their path in the wheel."""
    package = HERE / "src" / "pipeword"
    files = sorted(p for p in package.iterdir() if p.suffix == ".py" or p.name == "py.typed")
    return [(f"pipeword/{p.name}", p.read_bytes()) for p in files if p.name != "_version.py"]


def epoch() -> int:
    return max(int(os.environ.get("SOURCE_DATE_EPOCH", ZIP_EPOCH)), ZIP_EPOCH)


def write_wheel(directory: str) -> str:
    release = version()
    info = f"pipeword-{release}.dist-info"
    members = sources() + [("pipeword/_version.py", f'__version__ = "{release}"\n'.encode())]
    members.sort()
    members += [
        (f"{info}/LICENSE", license_text()),
        (f"{info}/METADATA", metadata(release)),
        (f"{info}/WHEEL", b"Wheel-Version: 1.0\nGenerator: pipeword_build\n"
         b"Root-Is-Purelib: true\nTag: py3-none-any\n"),
    ]
    record = []
    for name, data in members:
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        record.append(f"{name},sha256={digest},{len(data)}\n")
    record.append(f"{info}/RECORD,,\n")
    members.append((f"{info}/RECORD", "".join(record).encode()))
    wheel = f"pipeword-{release}-py3-none-any.whl"
    date = time.gmtime(epoch())[:6]
    with zipfile.ZipFile(Path(directory) / wheel, "w") as archive:
        for name, data in members:
            member = zipfile.ZipInfo(name, date)
            member.create_system = 3  # Unix, so that the mode below counts
            member.external_attr = 0o100644 << 16
            member.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(member, data)
    return wheel


def write_sdist(directory: str) -> str:
    release = version()
    top = f"pipeword-{release}"
    members = [(f"src/{name}", data) for name, data in sources()]
    members += [(name, (HERE / name).read_bytes()) for name in ("pipeword_build.py",
                                                                 "pyproject.toml")]
    members += [("LICENSE", license_text()), ("PKG-INFO", metadata(release))]
    sdist = f"{top}.tar.gz"
    with open(Path(directory) / sdist, "wb") as raw, \
            gzip.GzipFile("", "wb", fileobj=raw, mtime=epoch()) as packed, \
            tarfile.open(fileobj=packed, mode="w", format=tarfile.PAX_FORMAT) as archive:
        for name, data in sorted(members):
            member = tarfile.TarInfo(f"{top}/{name}")
            member.size, member.mtime, member.mode = len(data), epoch(), 0o644
            archive.addfile(member, io.BytesIO(data))
    return sdist


# The build backend's hooks (PEP 517).

def build_wheel(wheel_directory: str, config_settings: Optional[Dict[str, Any]] = None,
                metadata_directory: Optional[str] = None) -> str:
    return write_wheel(wheel_directory)


def build_sdist(sdist_directory: str,
                config_settings: Optional[Dict[str, Any]] = None) -> str:
    return write_sdist(sdist_directory)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: python3 pipeword_build.py DIR")
    Path(sys.argv[1]).mkdir(parents=True, exist_ok=True)
    print(Path(sys.argv[1]) / write_wheel(sys.argv[1]))
