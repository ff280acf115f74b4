"""scan, load and the Tree class on real temporary trees."""
import errno
import os
import threading
from pathlib import Path

import bramwex
import pytest

from conftest import disk_usage


def test_sizes_names_and_paths_against_du(tree_dir):
    sizes = {bramwex.scan(tree_dir, threads).size(0) for threads in (None, 0, 1, 3, 2**40)}
    assert sizes | {bramwex.scan(path=tree_dir, threads=2).size(0)} == {disk_usage(tree_dir)}
    tree, folders = bramwex.scan(tree_dir), [0]
    for folder in folders:
        folders.extend(tree.children(folder))
        assert tree.size(folder) == tree.own(folder) + sum(map(tree.size, tree.children(folder)))
        assert tree.find(tree.path(folder)) == folder and isinstance(tree.path(folder), Path)
    assert tree.size(tree.find("alpha/deep")) == disk_usage(tree_dir / "alpha/deep")
    assert sorted(tree.name(c) for c in tree.children(0)) == ["alpha", "beta", "empty"]
    assert tree.name(0) == str(tree_dir) and tree.children(tree.find("empty")) == []
    assert tree.error(0) is None and not tree.partial(0) and not tree.other_device(0)
    assert not tree.stopped() and repr(tree) == f"<Tree {tree_dir} {tree.size(0)} bytes>"
    deep = tree.find("alpha/deep")
    for path, found in (("", 0), (f"{tree_dir}/", 0), (f"{tree_dir}//alpha/./deep/", deep),
                        (Path("alpha") / "deep", deep), ("./alpha/deep", deep),
                        ("alpha/../beta", None), ("alpha/big.bin", None),  # not a folder
                        (f"{tree_dir}-other", None), ("~", None)):  # "~" is not expanded
        assert tree.find(path) == found, path


@pytest.mark.parametrize("call, error, message", [
    (lambda t: bramwex.scan(t, -1), OverflowError, "^argument 'threads': "),
    (lambda t: bramwex.scan(t, 2**64), OverflowError, "^argument 'threads': "),
    (lambda t: bramwex.scan(t, "2"), TypeError, "threads"),
    (lambda t: bramwex.scan(bytes(t)), TypeError, "path"),
    (lambda t: bramwex.scan(t).size(-1), OverflowError, "^argument 'id': number too small"),
    (lambda t: bramwex.scan(t).size(2**32), OverflowError, "^argument 'id': number too large"),
    (lambda t: bramwex.scan(t).size(99), IndexError, "^no folder 99$"),
    (lambda t: bramwex.scan(t).size("0"), TypeError, "'id'"),
    (lambda t: bramwex.scan(t).largest_files(-1), OverflowError, "^argument 'n': "),
    # A NUL byte would cut a path short onto another file.
    (lambda t: bramwex.scan(t).save(f"{t}/s\0x"), ValueError, "embedded null byte"),
])
def test_arguments_are_checked(tree_dir, call, error, message):
    with pytest.raises(error, match=message):
        call(tree_dir)


def test_names_that_are_not_utf8_come_back_unchanged(tmp_path):
    raw = os.fsencode(tmp_path) + b"/caf\xe9"
    os.mkdir(raw)
    tree = bramwex.scan(tmp_path)
    (child,) = tree.children(0)
    assert os.fsencode(tree.name(child)) == b"caf\xe9" and os.fsencode(tree.path(child)) == raw
    assert tree.find(tree.name(child)) == child and tree.size(True) == tree.size(1)


def test_files_are_listed_from_disk_and_other_devices_not_entered(tree_dir, mounted):
    tree = bramwex.scan(tree_dir)
    alpha = tree.find("alpha")
    assert dict(tree.files(alpha)) == {  # the link as itself, the folder "deep" left out
        name: os.lstat(tree_dir / "alpha" / name).st_blocks * 512
        for name in ("big.bin", "b-link.bin", "to-big")}
    assert tree.files(tree.find("empty")) == []
    (tree_dir / "alpha" / "new.txt").write_bytes(b"n")
    assert "new.txt" in dict(tree.files(alpha))
    # A link put where the folder was is not followed.
    os.unlink(tree_dir / "beta" / "b.bin")
    os.rmdir(tree_dir / "beta")
    os.symlink(tree_dir / "alpha", tree_dir / "beta")
    with pytest.raises(OSError):
        tree.files(tree.find("beta"))
    mounted(tree_dir / "mnt")
    (tree_dir / "mnt" / "inside.bin").write_bytes(b"x" * 50_000)
    tree = bramwex.scan(tree_dir)
    assert tree.other_device(tree.find("mnt")) and tree.children(tree.find("mnt")) == []
    assert tree.files(tree.find("mnt")) == [] and tree.size(0) < disk_usage(tree_dir)


def test_unreadable_folders_and_no_threads(open_tmp, as_nobody):
    root = open_tmp / "t"
    (root / "shut" / "inner").mkdir(parents=True)
    (root / "open").mkdir()
    os.chmod(root / "shut", 0)
    out = as_nobody(
        "import bramwex, resource, sys\n"
        "t = bramwex.scan(sys.argv[1])\n"
        "shut = t.find('shut')\n"
        "print(t.error(shut), t.partial(shut), t.partial(0), t.error(0), t.children(shut),\n"
        "      t.partial(t.find('open')))\n"
        "try:\n    t.files(shut)\nexcept PermissionError as e:\n"
        "    print(e.errno, e.filename == t.path(shut))\n"
        "resource.setrlimit(resource.RLIMIT_NPROC, (1, 1))\n"
        "for start in (bramwex.scan, bramwex.live):\n"
        "    try:\n        start(sys.argv[1])\n    except BaseException as e:\n        print(e)\n",
        root)
    # The unreadable folder is denied, not partial; the folders above it are partial.
    assert out.splitlines()[:2] == ["EACCES False True None [] False", "13 True"]
    assert out.splitlines()[2].startswith("cannot start threads: ")
    assert out.splitlines()[3] == ("failed to spawn thread: "
                                   "Resource temporarily unavailable (os error 11)")


def test_labels_and_largest_files(tree_dir):
    (tree_dir / "pkg" / "__pycache__").mkdir(parents=True)
    for k in range(130):
        (tree_dir / "empty" / f"f{k:03}").write_bytes(b"x" * (k + 1) * 100)
    tree = bramwex.scan(tree_dir)
    pycache = tree.label(tree.find("pkg/__pycache__"))
    assert pycache.tier is bramwex.Tier.Cache and tree.label(tree.find("pkg")) is None
    assert pycache == tree.label(tree.find("pkg/__pycache__"))
    assert repr(pycache) == ('Label(tier=Tier.Cache, text="cache: python", '
                             'why="Python bytecode: rebuilt on import")')
    files = tree.largest_files()
    assert len(files) == 100 and len(tree.largest_files(1000)) == 135
    big = tree_dir / "alpha" / "big.bin"
    assert files[0] == (big, os.stat(big).st_blocks * 512) and isinstance(files[-1][0], Path)
    assert tree.largest_files(0) == [] and tree.largest_files(n=2) == files[:2]


def test_save_and_load(tree_dir, tmp_path, monkeypatch):
    tree = bramwex.scan(tree_dir)
    assert tree.save(tmp_path / "saved.scan") is None
    loaded = bramwex.load(str(tmp_path / "saved.scan"))
    assert loaded is not tree and repr(loaded) == repr(tree)
    assert loaded.largest_files() == tree.largest_files()
    monkeypatch.setenv("HOME", str(tmp_path))
    tree.save("~/again.scan")
    assert bramwex.load(tmp_path / "again.scan").size(0) == tree.size(0)
    assert bramwex.scan("~/data").path(0) == tmp_path / "data"  # tree_dir
    junk = tmp_path / "junk\udcff.scan"
    junk.write_bytes(b"\0" * 4096)
    with pytest.raises(ValueError) as raised:
        bramwex.load(junk)
    assert str(raised.value) == (f"{tmp_path}/junk\ufffd.scan: "
                                 "not a scan saved by this version of bramwex")


def test_load_follows_links_and_reads_only_a_file(tree_dir, tmp_path):
    tree = bramwex.scan(tree_dir)
    tree.save(tmp_path / "good.scan")
    os.symlink("good.scan", tmp_path / "latest.scan")
    assert repr(bramwex.load(tmp_path / "latest.scan")) == repr(tree)
    with pytest.raises(IsADirectoryError) as raised:
        bramwex.load(tree_dir)
    assert raised.value.filename == tree_dir
    # A FIFO is refused at once, not waited on for a writer.
    fifo = tmp_path / "fifo.scan"
    os.mkfifo(fifo)
    outcome = []

    def load():
        with pytest.raises(ValueError) as raised:
            bramwex.load(fifo)
        outcome.append(str(raised.value))

    thread = threading.Thread(target=load, daemon=True)
    thread.start()
    thread.join(timeout=30)
    assert outcome == [f"{fifo}: not a scan saved by this version of bramwex"]


def test_save_records_the_root_scanned_and_names_it_when_gone(tmp_path, monkeypatch):
    (tmp_path / "t1" / "sub").mkdir(parents=True)
    (tmp_path / "t1" / "sub" / "f").write_bytes(b"x" * 50_000)
    (tmp_path / "elsewhere" / "t1").mkdir(parents=True)
    monkeypatch.chdir(tmp_path)
    tree = bramwex.scan("t1")
    monkeypatch.chdir("elsewhere")
    root = os.path.join(os.path.realpath(tmp_path), "t1")
    assert tree.name(0) == root and tree.size(0) > 50_000
    assert [name for name, _ in tree.files(tree.find("sub"))] == ["f"]
    tree.save(tmp_path / "out.scan")
    loaded = bramwex.load(tmp_path / "out.scan")
    assert (loaded.name(0), loaded.size(0)) == (root, tree.size(0))
    # Saving records the root, which must still be there: its error names it.
    gone = tmp_path / "gone"
    gone.mkdir()
    tree = bramwex.scan(gone)
    gone.rmdir()
    with pytest.raises(FileNotFoundError) as raised:
        tree.save(tmp_path / "gone.scan")
    assert raised.value.filename == gone and not (tmp_path / "gone.scan").exists()


@pytest.mark.parametrize("entry", ["scan", "home", "load", "save", "files"])
def test_os_errors_carry_errno_strerror_and_filename(entry, tree_dir, tmp_path, monkeypatch):
    tree = bramwex.scan(tree_dir)
    (tree_dir / "beta" / "b.bin").unlink()
    (tree_dir / "beta").rmdir()
    missing = tmp_path / "missing"
    monkeypatch.setenv("HOME", str(tmp_path))
    call, path, number = {
        "scan": (lambda: bramwex.scan(missing), missing, errno.ENOENT),
        "home": (lambda: bramwex.scan("~/missing"), missing, errno.ENOENT),
        "load": (lambda: bramwex.load(missing), missing, errno.ENOENT),
        "save": (lambda: tree.save(tree_dir), tree_dir, errno.EISDIR),
        "files": (lambda: tree.files(tree.find("beta")), tree_dir / "beta", errno.ENOENT)}[entry]
    with pytest.raises(OSError) as raised:
        call()
    error = raised.value
    assert (error.errno, error.strerror, error.filename) == (number, os.strerror(number), path)
    assert type(error) is {errno.ENOENT: FileNotFoundError, errno.EISDIR: IsADirectoryError}[number]
