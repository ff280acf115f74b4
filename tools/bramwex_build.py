"""The build backend of the bramwex wheel (PEP 517), standard library only.

It configures and builds the CMake target of the Python module with the
interpreter that runs it, then zips `bramwex.abi3.so` with its metadata into a
`cp310-abi3` wheel: the module uses only the stable ABI of Python 3.10, so one
wheel serves every CPython from 3.10 on.

Config settings (`pip install --config-settings KEY=VALUE .`):
  build-dir   the CMake build folder, relative to the source tree
              (default: build-wheel)
"""

from __future__ import annotations

import base64
import hashlib
import io
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import zipfile
from pathlib import Path

SOURCE = Path(__file__).resolve().parent.parent
MODULE_FILE = "bramwex.abi3.so"
CMAKE_TARGET = "bramwex_module"
PYTHON_TAG = "cp310"
ABI_TAG = "abi3"
# Zip entries get a fixed time, so an unchanged module gives an identical wheel.
ZIP_TIME = (1980, 1, 1, 0, 0, 0)
SDIST_SKIP = {".git", ".venv", "__pycache__", "out"}


# --- project metadata -------------------------------------------------------

def _project() -> dict:
    text = (SOURCE / "pyproject.toml").read_text(encoding="utf-8")
    try:
        import tomllib
    except ImportError:  # Python 3.10
        return _read_simple_toml(text)
    return tomllib.loads(text)


def _read_simple_toml(text: str) -> dict:
    """Tables of `key = "string"` lines: all that pyproject.toml here uses."""
    data: dict = {}
    table = data
    for line in text.splitlines():
        line = line.split("#", 1)[0].strip()
        if not line:
            continue
        header = re.fullmatch(r"\[([\w.-]+)\]", line)
        if header:
            table = data
            for part in header.group(1).split("."):
                table = table.setdefault(part, {})
            continue
        pair = re.fullmatch(r'([\w-]+)\s*=\s*"([^"]*)"', line)
        if pair:
            table[pair.group(1)] = pair.group(2)
    return data


def _names() -> tuple[str, str]:
    project = _project()["project"]
    return project["name"], project["version"]


def _metadata_text() -> str:
    project = _project()["project"]
    lines = [
        "Metadata-Version: 2.1",
        f"Name: {project['name']}",
        f"Version: {project['version']}",
        f"Summary: {project.get('description', '')}",
        f"Requires-Python: {project.get('requires-python', '>=3.10')}",
    ]
    readme = SOURCE / "README.md"
    if readme.is_file():
        lines.append("Description-Content-Type: text/markdown")
        return "\n".join(lines) + "\n\n" + readme.read_text(encoding="utf-8")
    return "\n".join(lines) + "\n"


def _entry_points_text() -> str:
    scripts = _project()["project"].get("scripts", {})
    lines = ["[console_scripts]"] + [f"{name} = {target}" for name, target in scripts.items()]
    return "\n".join(lines) + "\n"


def _platform_tag() -> str:
    return re.sub(r"[^\w]", "_", sysconfig.get_platform())


def _wheel_tag() -> str:
    return f"{PYTHON_TAG}-{ABI_TAG}-{_platform_tag()}"


def _dist_info_name() -> str:
    name, version = _names()
    return f"{name}-{version}.dist-info"


def _dist_info_files() -> dict[str, bytes]:
    return {
        "METADATA": _metadata_text().encode(),
        "WHEEL": (
            "Wheel-Version: 1.0\n"
            "Generator: bramwex_build\n"
            "Root-Is-Purelib: false\n"
            f"Tag: {_wheel_tag()}\n"
        ).encode(),
        "entry_points.txt": _entry_points_text().encode(),
        "top_level.txt": b"bramwex\n",
    }


# --- building ---------------------------------------------------------------

def _build_dir(config_settings: dict | None) -> Path:
    chosen = (config_settings or {}).get("build-dir", "build-wheel")
    return (SOURCE / chosen).resolve()


def _run(command: list[str]) -> None:
    # The CMake output goes to stderr, so pip shows it with -v and on failure.
    subprocess.run(command, check=True, stdout=sys.stderr, cwd=SOURCE)


def _build_module(config_settings: dict | None) -> Path:
    cmake = shutil.which("cmake")
    if cmake is None:
        raise RuntimeError("bramwex_build: cmake is not installed (scripts/setup installs it)")
    build = _build_dir(config_settings)
    configure = [
        cmake, "-S", str(SOURCE), "-B", str(build),
        f"-DPython3_EXECUTABLE={sys.executable}",
        "-DBRAMWEX_BUILD_PYTHON=ON",
    ]
    if not (build / "CMakeCache.txt").is_file():
        if shutil.which("ninja"):
            configure += ["-G", "Ninja"]
        configure += ["-DCMAKE_BUILD_TYPE=Release", "-DBRAMWEX_BUILD_TESTS=OFF",
                      "-DBRAMWEX_BUILD_BENCH=OFF"]
    _run(configure)
    _run([cmake, "--build", str(build), "--target", CMAKE_TARGET])
    module = build / "binding" / MODULE_FILE
    if not module.is_file():
        raise RuntimeError(f"bramwex_build: the build made no {module}")
    return module


def _record_line(path: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{path},sha256={digest},{len(data)}"


def _write_wheel(wheel_path: Path, files: dict[str, tuple[bytes, int]]) -> None:
    dist_info = _dist_info_name()
    records = [_record_line(path, data) for path, (data, _) in files.items()]
    records.append(f"{dist_info}/RECORD,,")
    files = dict(files)
    files[f"{dist_info}/RECORD"] = ("\n".join(records).encode() + b"\n", 0o644)
    with zipfile.ZipFile(wheel_path, "w", compression=zipfile.ZIP_DEFLATED) as wheel:
        for path, (data, mode) in files.items():
            entry = zipfile.ZipInfo(path, date_time=ZIP_TIME)
            entry.external_attr = (0o100000 | mode) << 16
            entry.compress_type = zipfile.ZIP_DEFLATED
            wheel.writestr(entry, data)


# --- PEP 517 hooks ----------------------------------------------------------

def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    target = Path(metadata_directory) / _dist_info_name()
    target.mkdir(parents=True, exist_ok=True)
    for name, data in _dist_info_files().items():
        (target / name).write_bytes(data)
    return target.name


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    module = _build_module(config_settings)
    name, version = _names()
    files: dict[str, tuple[bytes, int]] = {MODULE_FILE: (module.read_bytes(), 0o755)}
    for file_name, data in _dist_info_files().items():
        files[f"{_dist_info_name()}/{file_name}"] = (data, 0o644)
    wheel_name = f"{name}-{version}-{_wheel_tag()}.whl"
    Path(wheel_directory).mkdir(parents=True, exist_ok=True)
    _write_wheel(Path(wheel_directory) / wheel_name, files)
    return wheel_name


def _sdist_members() -> list[Path]:
    tracked = subprocess.run(["git", "ls-files", "-z"], cwd=SOURCE, capture_output=True)
    if tracked.returncode == 0 and tracked.stdout:
        names = [n for n in tracked.stdout.decode().split("\0") if n]
        return sorted(SOURCE / n for n in names if (SOURCE / n).is_file())
    members = []
    for folder, subfolders, file_names in os.walk(SOURCE):
        subfolders[:] = sorted(d for d in subfolders
                               if d not in SDIST_SKIP and not d.startswith("build"))
        members += [Path(folder) / f for f in sorted(file_names)]
    return members


def build_sdist(sdist_directory, config_settings=None):
    name, version = _names()
    base = f"{name}-{version}"
    Path(sdist_directory).mkdir(parents=True, exist_ok=True)
    archive = Path(sdist_directory) / f"{base}.tar.gz"
    with tarfile.open(archive, "w:gz", format=tarfile.PAX_FORMAT) as tar:
        for path in _sdist_members():
            tar.add(path, arcname=f"{base}/{path.relative_to(SOURCE)}", recursive=False)
        info = tarfile.TarInfo(f"{base}/PKG-INFO")
        data = _metadata_text().encode()
        info.size = len(data)
        tar.addfile(info, io.BytesIO(data))
    return archive.name
