"""scan, load and the Tree class on real temporary trees."""
import os
import threading
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


def test_sizes(tree_dir):
    tree = bramwex.scan(tree_dir)
    assert tree.size(0) == disk_usage(tree_dir)
    ids = ids_by_path(tree)
    for path, folder in ids.items():
        assert tree.size(folder) == tree.own(folder) + sum(
            tree.size(child) for child in tree.children(folder))
    assert tree.size(ids[tree_dir / "alpha/deep"]) == disk_usage(tree_dir / "alpha/deep")
    assert not tree.stopped()
    assert repr(tree) == f"<Tree {tree_dir} {tree.size(0)} bytes>"


def test_thread_counts_agree(tree_dir):
    sizes = {bramwex.scan(tree_dir, threads).size(0) for threads in (None, 0, 1, 3)}
    assert sizes == {disk_usage(tree_dir)}
    assert bramwex.scan(path=tree_dir, threads=2).size(0) == disk_usage(tree_dir)
    with pytest.raises(OverflowError):
        bramwex.scan(tree_dir, -1)
    with pytest.raises(TypeError, match="threads"):
        bramwex.scan(tree_dir, "2")


def test_children_names_and_paths(tree_dir):
    tree = bramwex.scan(tree_dir)
    top = tree.children(0)
    assert top == sorted(top)
    assert sorted(tree.name(c) for c in top) == ["alpha", "beta", "empty"]
    assert tree.name(0) == str(tree_dir)
    assert isinstance(tree.path(0), Path) and tree.path(0) == tree_dir
    empty = tree.find("empty")
    assert tree.children(empty) == [] and tree.path(empty) == tree_dir / "empty"
    assert tree.error(0) is None and not tree.partial(0) and not tree.other_device(0)


def test_find(tree_dir):
    tree = bramwex.scan(tree_dir)
    deep = tree.find("alpha/deep")
    assert tree.path(deep) == tree_dir / "alpha" / "deep"
    assert tree.find("") == 0 and tree.find(tree_dir) == 0 and tree.find(f"{tree_dir}/") == 0
    assert tree.find(f"{tree_dir}//alpha/./deep/") == deep
    assert tree.find(Path("alpha") / "deep") == deep
    assert tree.find("./alpha/deep") == deep
    assert tree.find("alpha/../beta") is None
    assert tree.find("alpha/big.bin") is None  # files are not folders
    assert tree.find(f"{tree_dir}-other") is None
    assert tree.find("~") is None  # no expansion: a folder named "~" below the root
    with pytest.raises(TypeError, match="path"):
        tree.find(b"alpha")


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
    with pytest.raises(OverflowError, match="^number too small to fit in target type$"):
        tree.size(-1)
    with pytest.raises(OverflowError, match="^number too large to fit in target type$"):
        tree.size(2**32)
    with pytest.raises(IndexError, match=f"^no folder {count}$"):
        tree.size(count)
    with pytest.raises(IndexError, match="^no folder 4294967295$"):
        tree.children(4294967295)
    with pytest.raises(TypeError, match="'id'"):
        tree.own("0")
    assert tree.size(True) == tree.size(1)  # any integer, by __index__
    with pytest.raises(TypeError, match="missing required argument 'id'"):
        tree.name()
    with pytest.raises(TypeError, match="unexpected keyword argument 'folder'"):
        tree.name(folder=0)
    assert tree.name(id=0) == str(tree_dir)


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
    for name in os.listdir(tree_dir / "beta"):
        os.unlink(tree_dir / "beta" / name)
    os.rmdir(tree_dir / "beta")
    with pytest.raises(FileNotFoundError):
        tree.files(tree.find("beta"))
    # A link put where the folder was is not followed.
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
        "    print(e)\n", root)
    # The unreadable folder is denied, not partial; the folders above it are partial.
    assert out.splitlines() == ["EACCES False True None [] False",
                                "Permission denied (os error 13)"]


def test_labels(tmp_path):
    (tmp_path / "pkg" / "__pycache__").mkdir(parents=True)
    (tmp_path / "tagged").mkdir()
    (tmp_path / "tagged" / "CACHEDIR.TAG").write_bytes(
        b"Signature: 8a477f597d28d172789f06886806bc55\n# a cache\n")
    tree = bramwex.scan(tmp_path)
    pycache = tree.label(tree.find("pkg/__pycache__"))
    assert pycache.tier is bramwex.Tier.Cache
    assert (pycache.text, pycache.why) == ("cache: python", "Python bytecode: rebuilt on import")
    assert pycache == tree.label(tree.find("pkg/__pycache__"))
    tagged = tree.label(tree.find("tagged"))
    assert (tagged.tier, tagged.text) == (bramwex.Tier.Cache, "cache")
    assert "CACHEDIR.TAG" in tagged.why
    assert tagged != pycache
    assert tree.label(tree.find("pkg")) is None
    assert repr(pycache) == ('Label(tier=Tier.Cache, text="cache: python", '
                             'why="Python bytecode: rebuilt on import")')
    with pytest.raises(IndexError):
        tree.label(10_000)


def test_label_context_is_built_once_across_threads(tmp_path):
    for k in range(8):
        (tmp_path / f"p{k}" / "node_modules").mkdir(parents=True)
    tree = bramwex.scan(tmp_path)
    folders = [tree.find(f"p{k}/node_modules") for k in range(8)]
    results = [None] * 8
    threads = [threading.Thread(target=lambda k=k: results.__setitem__(k, tree.label(folders[k])))
               for k in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert {label.text for label in results} == {"cache: npm"}


def test_largest_files(tree_dir):
    (tree_dir / "beta" / "twin-b").write_bytes(b"q" * 70_000)
    (tree_dir / "beta" / "twin-a").write_bytes(b"q" * 70_000)
    for k in range(130):
        (tree_dir / "empty" / f"f{k:03}").write_bytes(b"x" * (k + 1) * 100)
    tree = bramwex.scan(tree_dir)
    assert len(tree.largest_files()) == 100 and len(tree.largest_files(1000)) == 137
    files = tree.largest_files()
    big = tree_dir / "alpha" / "big.bin"
    assert files[0] == (big, os.stat(big).st_blocks * 512)
    sizes = [size for _, size in files]
    assert sizes == sorted(sizes, reverse=True)
    for first, second in zip(files, files[1:]):
        if first[1] == second[1]:
            assert os.fsencode(first[0]) < os.fsencode(second[0])
    assert all(isinstance(path, Path) for path, _ in files)
    assert tree.largest_files(0) == [] and tree.largest_files(n=2) == files[:2]
    with pytest.raises(OverflowError):
        tree.largest_files(-1)
    with pytest.raises(TypeError):
        tree.largest_files(None)


def test_save_and_load(tree_dir, tmp_path, monkeypatch):
    tree = bramwex.scan(tree_dir)
    target = tmp_path / "saved.scan"
    assert tree.save(target) is None
    loaded = bramwex.load(str(target))
    assert loaded is not tree
    for folder in ids_by_path(tree).values():
        assert (loaded.size(folder), loaded.own(folder), loaded.children(folder),
                loaded.name(folder)) == (tree.size(folder), tree.own(folder),
                                         tree.children(folder), tree.name(folder))
    assert loaded.largest_files() == tree.largest_files()
    monkeypatch.setenv("HOME", str(tmp_path / "home"))
    (tmp_path / "home").mkdir()
    tree.save("~/again.scan")
    assert (tmp_path / "home" / "again.scan").is_file()
    assert bramwex.load("~/again.scan").size(0) == tree.size(0)
    target.write_bytes(b"x")  # saving goes over any file there
    tree.save(target)
    assert bramwex.load(target).size(0) == tree.size(0)
    with pytest.raises(FileNotFoundError):
        tree.save(tmp_path / "no" / "such" / "folder.scan")
    # A NUL byte would cut the path short onto another file: refused, untouched.
    kept = tmp_path / "kept"
    kept.write_bytes(b"mine")
    for call in (lambda: tree.save(f"{kept}\0x"), lambda: bramwex.load(f"{kept}\0x"),
                 lambda: bramwex.scan(f"{tmp_path}\0x")):
        with pytest.raises(ValueError, match="embedded null byte"):
            call()
    assert kept.read_bytes() == b"mine"


def test_load_refuses_what_is_not_a_saved_scan(tmp_path):
    junk = tmp_path / "junk\udcff.scan"
    junk.write_bytes(b"\0" * 4096)
    with pytest.raises(ValueError) as raised:
        bramwex.load(junk)
    assert str(raised.value) == (f"{tmp_path}/junk\ufffd.scan: "
                                 "not a scan saved by this version of bramwex")
    with pytest.raises(FileNotFoundError):
        bramwex.load(tmp_path / "missing.scan")
    with pytest.raises(TypeError, match="path"):
        bramwex.load(b"/tmp/x")


def test_scan_errors(tmp_path, monkeypatch):
    with pytest.raises(FileNotFoundError) as raised:
        bramwex.scan(tmp_path / "missing")
    error = raised.value
    assert error.errno == 2 and error.strerror == os.strerror(2)
    assert error.filename == tmp_path / "missing" and isinstance(error.filename, Path)
    (tmp_path / "file").write_bytes(b"")
    with pytest.raises(NotADirectoryError):
        bramwex.scan(tmp_path / "file")
    with pytest.raises(TypeError, match="path"):
        bramwex.scan(bytes(tmp_path))
    with pytest.raises(TypeError, match="path"):
        bramwex.scan(42)
    monkeypatch.setenv("HOME", str(tmp_path))
    (tmp_path / "inside").mkdir()
    assert bramwex.scan("~/inside").path(0) == tmp_path / "inside"
    with pytest.raises(FileNotFoundError) as raised:
        bramwex.scan("~/missing")
    assert raised.value.filename == tmp_path / "missing"
