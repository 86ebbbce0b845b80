"""Builds the kit's wheel and source archive with nothing but Python's standard library.

pip builds a package in a fresh environment of its own and installs its build tools there; a
station without internet cannot fetch setuptools for it. This builder needs none, so
`pip install ./clients/python` works offline, in a fresh virtual environment too. It knows
this package only: pure Python, no dependencies.
"""

import base64
import hashlib
import io
import os
import re
import tarfile
import typing
import zipfile

NAME = "rs232c-client"
PACKAGE = "rs232c_client"
HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
METADATA = {
    "Summary": "Client for rs232c-daemon: typed results, exact bytes, no call sent twice",
    "Author": "Tessaryn line engineering",
    "License": "MIT",
    "Requires-Python": ">=3.8",
    "Classifier": [
        "Programming Language :: Python :: 3",
        "License :: OSI Approved :: MIT License",
        "Operating System :: OS Independent",
        "Typing :: Typed",
    ],
}
# The archives' files carry this date (the earliest a zip file can), so that the same sources
# give the same archive.
EPOCH = (1980, 1, 1, 0, 0, 0)
EPOCH_SECONDS = 315532800


def version() -> str:
    """The version, from the one place it is written: the package's __init__.py."""
    with open(os.path.join(HERE, PACKAGE, "__init__.py"), encoding="utf-8") as source:
        found = re.search(r'^__version__ = "([^"]+)"$', source.read(), re.M)
    if not found:
        raise RuntimeError("%s/__init__.py has no __version__" % PACKAGE)
    return found.group(1)


def metadata() -> bytes:
    lines = ["Metadata-Version: 2.1", "Name: " + NAME, "Version: " + version()]
    for field, value in METADATA.items():
        lines += ["%s: %s" % (field, v) for v in (value if isinstance(value, list) else [value])]
    lines.append("Description-Content-Type: text/markdown")
    with open(os.path.join(HERE, "README.md"), encoding="utf-8") as readme:
        return ("\n".join(lines) + "\n\n" + readme.read()).encode("utf-8")


def package_files() -> typing.List[str]:
    """The package's files, relative to HERE, in a fixed order (no caches)."""
    names = sorted(os.listdir(os.path.join(HERE, PACKAGE)))
    return [PACKAGE + "/" + n for n in names if n.endswith(".py") or n == "py.typed"]


def _digest(data: bytes) -> str:
    return base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()


def _read(relative: str) -> bytes:
    with open(os.path.join(HERE, relative), "rb") as source:
        return source.read()


def build_wheel(
    wheel_directory: str,
    config_settings: typing.Optional[typing.Dict[str, typing.Any]] = None,
    metadata_directory: typing.Optional[str] = None,
) -> str:
    distribution = "%s-%s" % (PACKAGE, version())
    info = distribution + ".dist-info/"
    files = [(name, _read(name)) for name in package_files()]
    files.append((info + "METADATA", metadata()))
    files.append(
        (info + "WHEEL", b"Wheel-Version: 1.0\nGenerator: kit_backend\n"
         b"Root-Is-Purelib: true\nTag: py3-none-any\n")
    )
    record = "".join("%s,sha256=%s,%d\n" % (n, _digest(d), len(d)) for n, d in files)
    files.append((info + "RECORD", (record + info + "RECORD,,\n").encode()))
    wheel = distribution + "-py3-none-any.whl"
    with zipfile.ZipFile(os.path.join(wheel_directory, wheel), "w", zipfile.ZIP_DEFLATED) as out:
        for name, data in files:
            entry = zipfile.ZipInfo(name, EPOCH)
            entry.external_attr = 0o644 << 16
            entry.compress_type = zipfile.ZIP_DEFLATED
            out.writestr(entry, data)
    return wheel


def build_sdist(
    sdist_directory: str, config_settings: typing.Optional[typing.Dict[str, typing.Any]] = None
) -> str:
    distribution = "%s-%s" % (PACKAGE, version())
    sources = ["pyproject.toml", "README.md", "backend/kit_backend.py"] + package_files()
    files = [(name, _read(name)) for name in sources] + [("PKG-INFO", metadata())]
    archive = distribution + ".tar.gz"
    path = os.path.join(sdist_directory, archive)
    with tarfile.open(path, "w:gz", format=tarfile.PAX_FORMAT) as out:
        for name, data in files:
            entry = tarfile.TarInfo(distribution + "/" + name)
            entry.size, entry.mode, entry.mtime = len(data), 0o644, EPOCH_SECONDS
            out.addfile(entry, io.BytesIO(data))
    return archive
