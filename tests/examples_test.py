#!/usr/bin/env python3
"""Checks the example programs against Python's hashlib.

usage: examples_test.py SHA3SUM HASH_TREE
"""
import hashlib
import os
import random
import signal
import subprocess
import sys
import tempfile
import time
import unittest

SHA3SUM, HASH_TREE = sys.argv[1], sys.argv[2]

ALGORITHMS = {
    "224": lambda data, n: hashlib.sha3_224(data).hexdigest(),
    "256": lambda data, n: hashlib.sha3_256(data).hexdigest(),
    "384": lambda data, n: hashlib.sha3_384(data).hexdigest(),
    "512": lambda data, n: hashlib.sha3_512(data).hexdigest(),
    "shake128": lambda data, n: hashlib.shake_128(data).hexdigest(n),
    "shake256": lambda data, n: hashlib.shake_256(data).hexdigest(n),
}
BAD = set(b'/\\:?*"\'<>|$&')


def escape(name: bytes) -> str:
    """Escaped file-name text, written independently of the library."""
    out = []
    for b in name:
        if b <= 0x20:
            out.append(" ")
        elif b >= 0x80 or b in BAD:
            out.append("$%02x" % b)
        else:
            out.append(chr(b))
    return "".join(out)


def run(*args, stdin=None):
    return subprocess.run(args, input=stdin, capture_output=True, check=False)


class Sha3sum(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        rng = random.Random(251)
        self.files = {}
        # Lengths around the block sizes (72 to 168 bytes) and a few MiB.
        for n in (0, 1, 71, 72, 73, 103, 104, 135, 136, 137, 143, 144, 167, 168, 169, 3 << 20):
            path = os.path.join(self.dir.name, "f%d" % n)
            data = bytes(rng.getrandbits(8) for _ in range(n)) if n < 4096 else os.urandom(n)
            with open(path, "wb") as f:
                f.write(data)
            self.files[path] = data

    def tearDown(self):
        self.dir.cleanup()

    def test_digests_match_hashlib(self):
        for algo, ref in ALGORITHMS.items():
            for length in ((None,) if not algo.startswith("shake") else (None, 0, 1, 200, 1000)):
                args = [SHA3SUM, "-a", algo] + (["-l", str(length)] if length is not None else [])
                out = run(*args, *self.files)
                self.assertEqual(out.returncode, 0, out.stderr)
                lines = out.stdout.decode().splitlines()
                self.assertEqual(len(lines), len(self.files))
                n = length if length is not None else (32 if algo == "shake128" else 64)
                for line, (path, data) in zip(lines, self.files.items()):
                    self.assertEqual(line, "%s  %s" % (ref(data, n), path), (algo, length))

    def test_standard_input(self):
        data = self.files[next(iter(self.files))] + b"tail"
        out = run(SHA3SUM, "-a", "512", stdin=data)
        self.assertEqual(out.stdout.decode(), "%s  -\n" % hashlib.sha3_512(data).hexdigest())

    def test_check_mode_reports_ok_and_failed(self):
        listing = run(SHA3SUM, *self.files).stdout.decode().splitlines()
        listing[3] = ("0" if listing[3][0] != "0" else "1") + listing[3][1:]
        check_file = os.path.join(self.dir.name, "sums")
        with open(check_file, "w") as f:
            f.write("\n".join(listing) + "\n")
        out = run(SHA3SUM, "-c", check_file)
        self.assertEqual(out.returncode, 1)
        results = out.stdout.decode().splitlines()
        self.assertEqual(len(results), len(self.files))
        for i, line in enumerate(results):
            self.assertTrue(line.endswith(": FAILED" if i == 3 else ": OK"), line)


class HashTree(unittest.TestCase):
    def test_manifest_lists_every_file_escaped_with_its_digest(self):
        with tempfile.TemporaryDirectory() as top, tempfile.TemporaryDirectory() as out_dir:
            names = [b"plain.txt", b"with space", b"caf\xc3\xa9: $5 & more", b"sub/dir/deep",
                     b"sub/x\tab", b"empty"]
            expected = {}
            for i, name in enumerate(names):
                path = os.path.join(top.encode(), b"tree", name)
                os.makedirs(os.path.dirname(path), exist_ok=True)
                data = os.urandom(1000 * i)
                with open(path, "wb") as f:
                    f.write(data)
                expected[escape(b"tree/" + name)] = hashlib.sha3_256(data).hexdigest()
            result = subprocess.run([HASH_TREE, "-j", "3", "-o", out_dir, "tree"], cwd=top,
                                    capture_output=True, check=False)
            self.assertEqual(result.returncode, 0, result.stderr)
            manifests = os.listdir(out_dir)
            self.assertEqual(len(manifests), 1)
            self.assertRegex(manifests[0], r"^\d{4}-\d\d-\d\dT\d{6}-hash_tree\.sha3-256$")
            with open(os.path.join(out_dir, manifests[0]), encoding="ascii") as f:
                lines = f.read().splitlines()
            got = dict(reversed(line.split("  ", 1)) for line in lines)
            self.assertEqual(got, expected)

    def test_ctrl_c_drops_pending_work_and_writes_no_manifest(self):
        with tempfile.TemporaryDirectory() as top, tempfile.TemporaryDirectory() as out_dir:
            os.mkdir(os.path.join(top, "tree"))
            for i in range(40):  # sparse files: seconds of hashing, no disk
                with open(os.path.join(top, "tree", "big%02d" % i), "wb") as f:
                    f.truncate(256 << 20)
            proc = subprocess.Popen([HASH_TREE, "-j", "2", "-o", out_dir, "tree"], cwd=top,
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            time.sleep(0.5)
            proc.send_signal(signal.SIGINT)
            _, err = proc.communicate(timeout=60)
            self.assertEqual(proc.returncode, 130, err)
            self.assertIn(b"interrupted:", err)
            self.assertEqual(os.listdir(out_dir), [])


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
