"""scan, load and the Tree class on real temporary trees."""
import errno
import os
import subprocess
import sys
from pathlib import Path

import bramwex
import pytest

from conftest import disk_usage


def ids_by_path(tree):
    found, todo = {}, [0]
    while todo:
        folder = todo.pop()
        found[tree.path(folder)] = folder
        todo.extend(tree.children(folder))
    return found


def test_sizes_names_and_paths(tree_dir):
    tree = bramwex.scan(tree_dir)
    assert tree.size(0) == disk_usage(tree_dir)
    ids = ids_by_path(tree)
    for path, folder in ids.items():
        assert tree.size(folder) == tree.own(folder) + sum(
            tree.size(child) for child in tree.children(folder))
        assert tree.path(folder) == path and isinstance(path, Path)
    assert tree.size(ids[tree_dir / "alpha/deep"]) == disk_usage(tree_dir / "alpha/deep")
    assert sorted(tree.name(c) for c in tree.children(0)) == ["alpha", "beta", "empty"]
    assert tree.name(0) == str(tree_dir) and tree.children(ids[tree_dir / "empty"]) == []
    assert tree.error(0) is None and not tree.partial(0) and not tree.other_device(0)
    assert not tree.stopped()
    assert repr(tree) == f"<Tree {tree_dir} {tree.size(0)} bytes>"


def test_thread_counts_agree(tree_dir):
    sizes = {bramwex.scan(tree_dir, threads).size(0) for threads in (None, 0, 1, 3, 2**40)}
    assert sizes | {bramwex.scan(path=tree_dir, threads=2).size(0)} == {disk_usage(tree_dir)}
    for bad, error, message in ((-1, OverflowError, "^argument 'threads': "),
                                (2**64, OverflowError, "^argument 'threads': "),
                                ("2", TypeError, "threads")):
        with pytest.raises(error, match=message):
            bramwex.scan(tree_dir, bad)


def test_find(tree_dir):
    tree = bramwex.scan(tree_dir)
    deep = tree.find("alpha/deep")
    assert tree.path(deep) == tree_dir / "alpha" / "deep"
    for path, found in (("", 0), (tree_dir, 0), (f"{tree_dir}/", 0),
                        (f"{tree_dir}//alpha/./deep/", deep), (Path("alpha") / "deep", deep),
                        ("./alpha/deep", deep), ("alpha/../beta", None),
                        ("alpha/big.bin", None),  # files are not folders
                        (f"{tree_dir}-other", None),
                        ("~", None)):  # no expansion: a folder named "~" below the root
        assert tree.find(path) == found, path


def test_names_that_are_not_utf8_come_back_unchanged(tmp_path):
    raw = os.fsencode(tmp_path) + b"/caf\xe9"
    os.mkdir(raw)
    tree = bramwex.scan(tmp_path)
    (child,) = tree.children(0)
    assert os.fsencode(tree.name(child)) == b"caf\xe9"
    assert os.fsencode(tree.path(child)) == raw
    assert tree.find(tree.name(child)) == child


def test_ids_are_checked(tree_dir):
    tree = bramwex.scan(tree_dir)
    count = len(ids_by_path(tree))
    for bad, error, message in ((-1, OverflowError, "^argument 'id': number too small to fit in"),
                                (2**32, OverflowError, "^argument 'id': number too large to fit in"),
                                (count, IndexError, f"^no folder {count}$"),
                                ("0", TypeError, "'id'")):
        with pytest.raises(error, match=message):
            tree.size(bad)
    assert tree.size(True) == tree.size(1)  # any integer, by __index__


def test_files_are_listed_from_disk(tree_dir, tmp_path):
    tree = bramwex.scan(tree_dir)
    alpha = tree.find("alpha")
    listed = dict(tree.files(alpha))
    expected = {name: os.lstat(tree_dir / "alpha" / name).st_blocks * 512
                for name in ("big.bin", "b-link.bin", "to-big")}
    assert listed == expected  # the link as itself, the folder "deep" left out
    assert tree.files(tree.find("empty")) == []
    small = tree_dir / "alpha" / "deep" / "er" / "small.txt"
    assert tree.files(tree.find("alpha/deep/er")) == [("small.txt", os.stat(small).st_blocks * 512)]
    (tree_dir / "alpha" / "new.txt").write_bytes(b"n")
    assert "new.txt" in dict(tree.files(alpha))
    # A link put where the folder was is not followed.
    os.unlink(tree_dir / "beta" / "b.bin")
    os.rmdir(tree_dir / "beta")
    os.symlink(tree_dir / "alpha", tree_dir / "beta")
    with pytest.raises(OSError):
        tree.files(tree.find("beta"))


def test_other_device_folders_are_not_entered(tree_dir, mounted):
    mounted(tree_dir / "mnt")
    (tree_dir / "mnt" / "inside.bin").write_bytes(b"x" * 50_000)
    tree = bramwex.scan(tree_dir)
    folder = tree.find("mnt")
    assert tree.other_device(folder) and tree.children(folder) == []
    assert tree.files(folder) == []
    assert tree.size(0) < disk_usage(tree_dir)


def test_unreadable_folders(open_tmp, as_nobody):
    root = open_tmp / "t"
    (root / "shut" / "inner").mkdir(parents=True)
    (root / "open").mkdir()
    os.chmod(root / "shut", 0)
    out = as_nobody(
        "import bramwex, sys\n"
        "t = bramwex.scan(sys.argv[1])\n"
        "shut = t.find('shut')\n"
        "print(t.error(shut), t.partial(shut), t.partial(0), t.error(0), t.children(shut),\n"
        "      t.partial(t.find('open')))\n"
        "try:\n"
        "    t.files(shut)\n"
        "except PermissionError as e:\n"
        "    print(e.errno, e.filename == t.path(shut))\n", root)
    # The unreadable folder is denied, not partial; the folders above it are partial.
    assert out.splitlines() == ["EACCES False True None [] False", "13 True"]


def test_a_thread_that_cannot_start_is_an_os_error(open_tmp, as_nobody):
    out = as_nobody("import bramwex, resource, sys\n"
                    "resource.setrlimit(resource.RLIMIT_NPROC, (1, 1))\n"
                    "try:\n    bramwex.scan(sys.argv[1])\nexcept OSError as e:\n    print(e)\n",
                    open_tmp)
    assert out.startswith("cannot start threads: ")


def test_labels(tmp_path):
    (tmp_path / "pkg" / "__pycache__").mkdir(parents=True)
    tree = bramwex.scan(tmp_path)
    pycache = tree.label(tree.find("pkg/__pycache__"))
    assert pycache.tier is bramwex.Tier.Cache
    assert pycache == tree.label(tree.find("pkg/__pycache__"))
    assert tree.label(tree.find("pkg")) is None
    assert repr(pycache) == ('Label(tier=Tier.Cache, text="cache: python", '
                             'why="Python bytecode: rebuilt on import")')
    with pytest.raises(IndexError):
        tree.label(10_000)


def test_largest_files(tree_dir):
    for k in range(130):
        (tree_dir / "empty" / f"f{k:03}").write_bytes(b"x" * (k + 1) * 100)
    tree = bramwex.scan(tree_dir)
    files = tree.largest_files()
    assert len(files) == 100 and len(tree.largest_files(1000)) == 135
    big = tree_dir / "alpha" / "big.bin"
    assert files[0] == (big, os.stat(big).st_blocks * 512)
    assert all(isinstance(path, Path) for path, _ in files)
    assert tree.largest_files(0) == [] and tree.largest_files(n=2) == files[:2]
    for bad, error in ((-1, OverflowError), (None, TypeError)):
        with pytest.raises(error):
            tree.largest_files(bad)


def test_save_and_load(tree_dir, tmp_path, monkeypatch):
    tree = bramwex.scan(tree_dir)
    target = tmp_path / "saved.scan"
    assert tree.save(target) is None
    loaded = bramwex.load(str(target))
    assert loaded is not tree and repr(loaded) == repr(tree)
    assert loaded.largest_files() == tree.largest_files()
    monkeypatch.setenv("HOME", str(tmp_path / "home"))
    (tmp_path / "home").mkdir()
    tree.save("~/again.scan")
    assert (tmp_path / "home" / "again.scan").is_file()
    assert bramwex.load("~/again.scan").size(0) == tree.size(0)
    # A NUL byte would cut the path short onto another file: refused, untouched.
    for call in (lambda: tree.save(f"{target}\0x"), lambda: bramwex.load(f"{target}\0x"),
                 lambda: bramwex.scan(f"{tmp_path}\0x")):
        with pytest.raises(ValueError, match="embedded null byte"):
            call()


def test_load_refuses_what_is_not_a_saved_scan(tmp_path):
    junk = tmp_path / "junk\udcff.scan"
    junk.write_bytes(b"\0" * 4096)
    with pytest.raises(ValueError) as raised:
        bramwex.load(junk)
    assert str(raised.value) == (f"{tmp_path}/junk\ufffd.scan: "
                                 "not a scan saved by this version of bramwex")


def test_scan_paths(tmp_path, monkeypatch):
    for bad in (bytes(tmp_path), 42):  # the one conversion every path argument goes through
        with pytest.raises(TypeError, match="path"):
            bramwex.scan(bad)
    monkeypatch.setenv("HOME", str(tmp_path))
    (tmp_path / "inside").mkdir()
    assert bramwex.scan("~/inside").path(0) == tmp_path / "inside"
    with pytest.raises(FileNotFoundError) as raised:
        bramwex.scan("~/missing")
    assert raised.value.filename == tmp_path / "missing"


def mounts_error_without_a_mount_table():
    """mounts() where /proc is an empty tmpfs, in a mount namespace of its own."""
    code = ("import bramwex\ntry:\n    bramwex.mounts()\nexcept OSError as e:\n"
            "    print(type(e).__name__, e.errno, e.strerror, e.filename, sep='|')\n")
    done = subprocess.run(["unshare", "--mount", "--propagation", "private", "sh", "-c",
                           'mount -t tmpfs none /proc && exec "$0" -c "$1"', sys.executable,
                           code], capture_output=True, text=True)
    if done.returncode != 0 or not done.stdout:
        pytest.skip(f"cannot hide the mount table here: {done.stderr[-300:]}")
    kind, number, text, filename = done.stdout.strip().split("|")
    return kind, int(number), text, Path(filename)


@pytest.mark.parametrize("entry", ["scan", "load", "save", "files", "mounts"])
def test_os_errors_carry_errno_strerror_and_filename(entry, tree_dir, tmp_path):
    tree = bramwex.scan(tree_dir)
    (tree_dir / "beta" / "b.bin").unlink()
    (tree_dir / "beta").rmdir()
    missing = tmp_path / "missing"
    calls = {"scan": (lambda: bramwex.scan(missing), missing, errno.ENOENT),
             "load": (lambda: bramwex.load(missing), missing, errno.ENOENT),
             "save": (lambda: tree.save(tree_dir), tree_dir, errno.EISDIR),
             "files": (lambda: tree.files(tree.find("beta")), tree_dir / "beta", errno.ENOENT)}
    if entry == "mounts":
        kind, number, text, filename = mounts_error_without_a_mount_table()
        assert (kind, number, text) == ("FileNotFoundError", errno.ENOENT, os.strerror(number))
        assert filename == Path("/proc/self/mountinfo")
        return
    call, path, number = calls[entry]
    with pytest.raises(OSError) as raised:
        call()
    error = raised.value
    assert (error.errno, error.strerror, error.filename) == (number, os.strerror(number), path)
    assert type(error) is {errno.ENOENT: FileNotFoundError, errno.EISDIR: IsADirectoryError}[number]
