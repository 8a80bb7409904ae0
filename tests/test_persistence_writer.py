"""save_json: the exact text of the graph file, and how it reaches the disk:
through a temporary file renamed over the target, or in place for devices,
FIFOs and directories that refuse new files; a failed save keeps the old file.
"""

import errno
import math
import os
import platform
import re
import stat
import subprocess
import sys
import shutil
import tempfile
from pathlib import Path

import pytest

from nuvel import NuvelGraph


# The file of example_graph(), byte for byte.
EXAMPLE = (Path(__file__).parent / "data" / "example_graph.json").read_text(encoding="utf-8")


def example_graph():
    g = NuvelGraph()
    g.add_node("e1")
    g.add_node("m1", "perf/m1")
    g.add_edge("e1", "m1")
    g.init_metrics({"latency": "ns"})
    energy = {"write": {"value": 3.0, "unit": "pJ"}, "read": {"value": 2.5, "unit": "pJ"}}
    g.set_module_data("m1", {"latency": {"value": 1.25, "unit": "ns"}, "energy": energy}, 2, ["cache", "l1"])
    g.set_edge_count("e1", "m1", 4)
    g.set_edge_factor("e1", "m1", {"energy": 0.5})
    g.set_edge_operation("e1", "m1", {"energy": "read"})
    return g


def saved(graph, tmp_path, name="g.json"):
    path = tmp_path / name
    graph.save_json(str(path))
    return path.read_text(encoding="utf-8")


def stray_files(directory, keep):
    return sorted(set(os.listdir(directory)) - set(keep))


class TestDocument:
    def test_example_file(self, tmp_path):
        assert saved(example_graph(), tmp_path) == EXAMPLE

    def test_escapes_read_back(self, tmp_path):
        short = {0x08: "\\b", 0x09: "\\t", 0x0A: "\\n", 0x0C: "\\f", 0x0D: "\\r"}
        name = "".join(map(chr, range(0x20))) + '"\\/\x7fé€'
        escaped = "".join(short.get(b, f"\\u{b:04x}") for b in range(0x20)) + '\\"\\\\/\x7fé€'
        g = NuvelGraph()
        g.add_node(name)
        assert f'      "name": "{escaped}",\n' in saved(g, tmp_path)
        assert NuvelGraph.load_json(str(tmp_path / "g.json")).get_all_node_names() == [name]


NUMBERS = [
    (0.0, "0.0"), (-0.0, "-0.0"), (1.0, "1.0"), (100.0, "100.0"), (-2.5, "-2.5"), (1234.5, "1234.5"),
    (0.1 + 0.2, "0.30000000000000004"), (0.0001, "0.0001"), (0.00001, "0.00001"), (1.5e-5, "0.000015"),
    (1e-6, "1e-6"), (2.5e-6, "2.5e-6"), (1e15, "1000000000000000.0"), (2.0**53, "9007199254740992.0"),
    (1e16, "1e+16"), (1.5e16, "1.5e+16"), (123456789012345678.0, "1.2345678901234568e+17"),
    (1e100, "1e+100"), (5e-324, "5e-324"), (1.7976931348623157e308, "1.7976931348623157e+308"),
    (-1e-7, "-1e-7"), (0.000123456789, "0.000123456789"), (9.99e-5, "0.0000999"),
    (float("nan"), "null"), (float("inf"), "null"), (float("-inf"), "null"),
]


def test_numbers_written_and_read_back(tmp_path):
    g = NuvelGraph()
    g.add_node("s")
    for i, (x, _) in enumerate(NUMBERS):
        g.add_node(f"t{i}")
        g.add_edge("s", f"t{i}")
        g.set_edge_count("s", f"t{i}", x)
    assert re.findall(r'\n      "count": (.*),\n', saved(g, tmp_path)) == [written for _, written in NUMBERS]
    # Each finite number is read back to the same bits, null as the default 1.0.
    loaded = NuvelGraph.load_json(str(tmp_path / "g.json"))
    back = [loaded.get_edge_count("s", f"t{i}") for i in range(len(NUMBERS))]
    assert list(map(repr, back)) == [repr(x if math.isfinite(x) else 1.0) for x, _ in NUMBERS]


EMPTY = '{\n  "edges": [],\n  "nodes": []\n}'


# A save in a child. "fsize": a file size limit below the file's size.
# "close": the next descriptor that open() hands out fails its close() with
# EIO, the way a network or user-space file system reports a late write
# error; a seccomp filter does it without any help from outside. "user": as
# the user `number`.
SAVE_CHILD = """
import ctypes, errno, os, resource, signal, struct, sys
from nuvel import NuvelGraph
mode, path, number = sys.argv[1], sys.argv[2], int(sys.argv[3])
g = NuvelGraph()
if mode == "fsize":
    for i in range(500):
        g.add_node(f"node{i}")
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (2048, 2048))
elif mode == "user":
    os.setuid(number)
else:
    libc = ctypes.CDLL(None, use_errno=True)
    op = lambda code, k, jt=0, jf=0: struct.pack("HBBI", code, jt, jf, k)
    fd = os.open(os.devnull, os.O_RDONLY)
    os.close(fd)
    program = ctypes.create_string_buffer(b"".join([
        op(0x20, 0), op(0x15, number, 0, 3),  # the syscall is close
        op(0x20, 16), op(0x15, fd, 0, 1),    # and its first argument fd
        op(0x06, 0x00050000 | errno.EIO), op(0x06, 0x7FFF0000),
    ]))
    filter = struct.pack("HxxxxxxQ", len(program) // 8, ctypes.addressof(program))
    assert libc.prctl(38, 1, 0, 0, 0) == 0  # no new privileges
    assert libc.prctl(22, 2, ctypes.c_char_p(filter), 0, 0) == 0, ctypes.get_errno()
try:
    g.save_json(path)
    print("saved")
except OSError as exc:
    print(exc)
"""
CLOSE_SYSCALL = {"x86_64": 3, "aarch64": 57}.get(platform.machine())
NO_CLOSE = pytest.mark.skipif(CLOSE_SYSCALL is None, reason="close() number unknown here")


def oserror_text(code):
    return f"{os.strerror(code)} (os error {code})"


def save_in_child(mode, path, number):
    done = subprocess.run([sys.executable, "-c", SAVE_CHILD, mode, path, str(number)], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    return done.stdout.strip()


class TestSave:
    @pytest.mark.parametrize("mode, target, code", [
        ("fsize", "model.json", errno.EFBIG),
        pytest.param("close", os.devnull, errno.EIO, marks=NO_CLOSE),  # written in place
        pytest.param("close", "model.json", errno.EIO, marks=NO_CLOSE),  # through a temporary file
    ])
    def test_failed_write_or_close_fails_the_save_and_keeps_the_old_file(self, tmp_path, mode, target, code):
        path = tmp_path / "model.json"
        path.write_bytes(b"old content \x00\xff")
        assert save_in_child(mode, tmp_path / target, CLOSE_SYSCALL or 0) == oserror_text(code)
        assert path.read_bytes() == b"old content \x00\xff" and stray_files(tmp_path, ["model.json"]) == []

    def test_replaced_file_keeps_its_mode_and_links(self, tmp_path):
        # A new file gets the umask's bits; links, in a chain or dangling,
        # stay links to the file written.
        real = tmp_path / "real"
        real.mkdir()
        (real / "model.json").write_text("old")
        os.chmod(real / "model.json", 0o604)
        (tmp_path / "first").symlink_to("real/model.json")
        (tmp_path / "second").symlink_to(tmp_path / "first")
        (tmp_path / "dangling").symlink_to("real/created.json")
        old_mask = os.umask(0o027)
        try:
            assert saved(example_graph(), tmp_path, "second") == EXAMPLE
            assert saved(NuvelGraph(), tmp_path, "dangling") == EMPTY
        finally:
            os.umask(old_mask)
        assert (real / "model.json").read_text() == EXAMPLE
        assert [stat.S_IMODE(os.stat(real / n).st_mode) for n in ("model.json", "created.json")] == [0o604, 0o640]
        assert all((tmp_path / link).is_symlink() for link in ("first", "second", "dangling"))
        assert stray_files(real, ["model.json", "created.json"]) == []
        assert stray_files(tmp_path, ["real", "first", "second", "dangling"]) == []

    def test_fifo_is_written_in_place(self, tmp_path):
        fifo = tmp_path / "pipe"
        os.mkfifo(fifo)
        reader = subprocess.Popen(["cat", str(fifo)], stdout=subprocess.PIPE)
        try:
            example_graph().save_json(str(fifo))
            assert reader.communicate(timeout=30)[0].decode() == EXAMPLE
        finally:
            reader.kill()
            reader.wait()
        assert stat.S_ISFIFO(os.lstat(fifo).st_mode)

    def test_directory_refusing_new_files(self):
        """A writable file in a read-only directory is written in place; a
        read-only file is refused although a rename over it would work."""
        directory = Path(tempfile.mkdtemp())  # under /tmp: reachable by another user
        files = {"writable.json": 0o644, "readonly.json": 0o444}
        owner = 65534 if os.geteuid() == 0 else os.geteuid()  # root ignores permission bits
        try:
            for name, mode in files.items():
                (directory / name).write_text("old")
                os.chmod(directory / name, mode)
            for p in (directory, *directory.iterdir()):
                os.chown(p, owner, owner)
            os.chmod(directory, 0o555)
            outcomes = [save_in_child("user", directory / name, owner) for name in files]
            assert outcomes == ["saved", oserror_text(errno.EACCES)]
            assert (directory / "writable.json").read_text() == EMPTY
            assert (directory / "readonly.json").read_text() == "old"
            assert stray_files(directory, files) == []
        finally:
            os.chmod(directory, 0o755)
            shutil.rmtree(directory)
