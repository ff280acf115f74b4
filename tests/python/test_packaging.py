"""The in-tree build backend: the wheel pip installs, and its metadata."""
import base64
import csv
import hashlib
import importlib.util
import io
import os
import shutil
import subprocess
import tarfile
import zipfile
from pathlib import Path

import pytest

TOP = Path(__file__).resolve().parents[2]


def backend():
    spec = importlib.util.spec_from_file_location("bramwex_build", TOP / "tools/bramwex_build.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_pyproject_reads_the_same_without_tomllib():
    build = backend()
    text = (TOP / "pyproject.toml").read_text()
    parsed = pytest.importorskip("tomllib").loads(text)
    simple = build._read_simple_toml(text)
    for key in ("name", "version", "requires-python", "description"):
        assert simple["project"][key] == parsed["project"][key]
    assert simple["project"]["scripts"] == parsed["project"]["scripts"]
    assert simple["build-system"]["build-backend"] == "bramwex_build"


def test_metadata_and_a_reproducible_wheel(tmp_path):
    built = TOP / "build" / "binding" / "bramwex.abi3.so"
    if not built.is_file():
        pytest.skip("no Release build of the module in build/ (scripts/setup makes it)")
    build, info = backend(), "bramwex-0.2.0.dist-info/"
    assert build.prepare_metadata_for_build_wheel(str(tmp_path)) + "/" == info
    text = (tmp_path / info / "METADATA").read_text()
    assert "Name: bramwex\n" in text and "Requires-Python: >=3.10\n" in text
    name = build.build_wheel(str(tmp_path), {"build-dir": "build"})
    assert name.startswith("bramwex-0.2.0-cp310-abi3-") and name.endswith(".whl")
    with zipfile.ZipFile(tmp_path / name) as wheel:
        names = set(wheel.namelist())
        assert names == {"bramwex.abi3.so"} | {info + n for n in (
            "METADATA", "WHEEL", "entry_points.txt", "top_level.txt", "RECORD")}
        assert wheel.read("bramwex.abi3.so") == built.read_bytes()
        tags = wheel.read(info + "WHEEL").decode()
        assert "Tag: cp310-abi3-" in tags and "Root-Is-Purelib: false" in tags
        assert wheel.read(info + "METADATA") == (tmp_path / info / "METADATA").read_bytes()
        assert wheel.read(info + "entry_points.txt") == b"[console_scripts]\nbramwex = bramwex:_cli\n"
        rows = list(csv.reader(io.StringIO(wheel.read(info + "RECORD").decode())))
        assert {row[0] for row in rows} == names and [info + "RECORD", "", ""] in rows
        for path, digest, size in (row for row in rows if row[1]):
            data = wheel.read(path)
            expected = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
            assert (digest, int(size)) == ("sha256=" + expected.decode(), len(data))
    build.build_wheel(str(tmp_path / "again"), {"build-dir": "build"})
    assert (tmp_path / "again" / name).read_bytes() == (tmp_path / name).read_bytes()


def test_sdist(tmp_path):
    name = backend().build_sdist(str(tmp_path))
    assert name == "bramwex-0.2.0.tar.gz"
    with tarfile.open(tmp_path / name) as sdist:
        members = set(sdist.getnames())
    assert {"bramwex-0.2.0/PKG-INFO", "bramwex-0.2.0/CMakeLists.txt"} <= members
    assert not any("/.venv/" in m or "/build/" in m for m in members)


def test_setup_says_what_takes_long_and_only_then(tmp_path):
    """scripts/setup on a fresh clone, with stand-ins for the slow tools."""
    clone, tools = tmp_path / "clone", tmp_path / "bin"
    for folder in (clone / "scripts", clone / "tools", clone / ".venv" / "bin", tools):
        folder.mkdir(parents=True)
    shutil.copy(TOP / "scripts" / "setup", clone / "scripts")
    (clone / "pyproject.toml").touch()
    (clone / "tools" / "bramwex_build.py").touch()
    for script, body in {
            tools / "dpkg-query": "echo 'install ok installed'",
            tools / "cmake": "mkdir -p build/binding && cd build &&"
                             " touch build.ninja binding/bramwex.abi3.so",
            clone / ".venv/bin/python": 'touch "${0%/*}/bramwex"; chmod +x "${0%/*}/bramwex"',
    }.items():
        script.write_text("#!/bin/sh\n" + body + "\n")
        script.chmod(0o755)
    env = dict(os.environ, PATH=f"{tools}:{os.environ['PATH']}")
    run = lambda: subprocess.run(["bash", clone / "scripts" / "setup"], env=env,
                                 capture_output=True, text=True, check=True).stderr
    assert run().startswith("setup: building bramwex in build/ (")
    assert run() == ""
