"""The binding's build backend: a pure-Python wheel from the eklv package.

pip builds a project in an isolated environment into which it installs the
backend named here from the package index; a station without network access
cannot do that with setuptools or flit. This backend needs nothing beyond
the standard library, so ``pip install ./python`` works offline. It builds
only what this package is: pure Python files under eklv/.
"""

from __future__ import annotations

import base64
import hashlib
import io
import tarfile
import tomllib
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def _project() -> dict:
    with open(ROOT / "pyproject.toml", "rb") as f:
        return tomllib.load(f)["project"]


def _metadata() -> str:
    p = _project()
    lines = [
        "Metadata-Version: 2.1",
        f"Name: {p['name']}",
        f"Version: {p['version']}",
        f"Summary: {p['description']}",
        f"Requires-Python: {p['requires-python']}",
    ]
    lines += [f"Classifier: {c}" for c in p.get("classifiers", [])]
    return "\n".join(lines) + "\n\n" + (ROOT / p["readme"]).read_text()


def _sources() -> list[Path]:
    return sorted(f for f in (ROOT / "eklv").rglob("*") if f.is_file() and "__pycache__" not in f.parts)


def _hash(data: bytes) -> str:
    return "sha256=" + base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()


def _wheel(wheel_directory: str, editable: bool) -> str:
    p = _project()
    dist_info = f"{p['name']}-{p['version']}.dist-info"
    name = f"{p['name']}-{p['version']}-py3-none-any.whl"
    files: list[tuple[str, bytes]] = []
    if editable:
        files.append((f"{p['name']}.pth", (str(ROOT) + "\n").encode()))
    else:
        files += [(str(f.relative_to(ROOT)), f.read_bytes()) for f in _sources()]
    files.append((f"{dist_info}/METADATA", _metadata().encode()))
    wheel_text = "Wheel-Version: 1.0\nGenerator: eklv_build\nRoot-Is-Purelib: true\nTag: py3-none-any\n"
    files.append((f"{dist_info}/WHEEL", wheel_text.encode()))
    record = "".join(f"{path},{_hash(data)},{len(data)}\n" for path, data in files)
    files.append((f"{dist_info}/RECORD", (record + f"{dist_info}/RECORD,,\n").encode()))
    with zipfile.ZipFile(Path(wheel_directory) / name, "w", zipfile.ZIP_DEFLATED) as wheel:
        for path, data in files:
            wheel.writestr(path, data)
    return name


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    return _wheel(wheel_directory, editable=False)


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    return _wheel(wheel_directory, editable=True)


def build_sdist(sdist_directory, config_settings=None):
    p = _project()
    base = f"{p['name']}-{p['version']}"
    name = f"{base}.tar.gz"
    with tarfile.open(Path(sdist_directory) / name, "w:gz") as sdist:
        for f in [ROOT / "pyproject.toml", ROOT / p["readme"], Path(__file__)] + _sources():
            sdist.add(f, f"{base}/{f.relative_to(ROOT)}")
        info = _metadata().encode()
        entry = tarfile.TarInfo(f"{base}/PKG-INFO")
        entry.size = len(info)
        sdist.addfile(entry, io.BytesIO(info))
    return name
