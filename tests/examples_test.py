#!/usr/bin/env python3
"""Checks the example programs against Python's hashlib, and against
@noble/hashes or the known answers of tests/data/k12 for the functions that
hashlib lacks (TurboSHAKE, KT, Keccak-256).

usage: examples_test.py SHA3SUM HASH_TREE

The comparisons with @noble/hashes run when VEXO_NOBLE_DIR names a directory
with node_modules/@noble/hashes (npm install --prefix DIR @noble/hashes) and
node is on the PATH; otherwise they are skipped.
"""
import hashlib
import json
import os
import shutil
import random
import re
import signal
import socket
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
HERE = os.path.dirname(os.path.abspath(__file__))
# Tools built with AddressSanitizer hash several times slower, and cannot start under a
# limit on the address space (it reserves terabytes).
ASAN = b"libasan" in subprocess.run(["ldd", SHA3SUM], capture_output=True).stdout
NEW_ALGORITHMS = {"turboshake128": 32, "turboshake256": 64, "kt128": 32, "kt256": 64,
                  "keccak256": 32}


def run(*args, stdin=None):
    return subprocess.run(args, input=stdin, capture_output=True, check=False)


def noble(requests):
    """Hex digests from @noble/hashes for [{"algo", "path", "len"}], or None
    when node or the package is missing."""
    directory = os.environ.get("VEXO_NOBLE_DIR")
    if not directory or shutil.which("node") is None:
        return None
    out = subprocess.run(["node", os.path.join(HERE, "noble_digest.mjs"), directory],
                         input=json.dumps(requests).encode(), capture_output=True, check=False)
    if out.returncode != 0:
        return None
    return out.stdout.decode().splitlines()


def pattern(n):
    """The message pattern of the known answers: byte i is i mod 251."""
    return bytes(i % 251 for i in range(n))


def write_random_files(directory, prefix, lengths, rng, urandom_from):
    """Writes one file of random bytes per length; returns {path: bytes}. Files of
    `urandom_from` bytes or more take os.urandom, which is much faster."""
    files = {}
    for n in lengths:
        path = os.path.join(directory, "%s%d" % (prefix, n))
        data = bytes(rng.getrandbits(8) for _ in range(n)) if n < urandom_from else os.urandom(n)
        with open(path, "wb") as f:
            f.write(data)
        files[path] = data
    return files


class Sha3sum(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        # Lengths around the block sizes (72 to 168 bytes) and a few MiB.
        lengths = (0, 1, 71, 72, 73, 103, 104, 135, 136, 137, 143, 144, 167, 168, 169, 3 << 20)
        self.files = write_random_files(self.dir.name, "f", lengths, random.Random(251), 4096)

    def tearDown(self):
        self.dir.cleanup()

    def test_digests_match_hashlib(self):
        for algo, ref in ALGORITHMS.items():
            for length in ((None,) if not algo.startswith("shake") else (None, 1, 2, 200, 1000)):
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


class Sha3sumNewAlgorithms(unittest.TestCase):
    """TurboSHAKE, KT and Keccak-256 through sha3sum, --tag and -c, -j."""

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        # Both sides of the rates (136, 168) and of KT's 8 KiB chunks and groups of four.
        lengths = (0, 1, 135, 136, 137, 167, 168, 169, 8191, 8192, 8193, 5 * 8192 + 1,
                   9 * 8192 - 1, (3 << 20) + 5)
        self.files = write_random_files(self.dir.name, "g", lengths, random.Random(9861), 100000)

    def tearDown(self):
        self.dir.cleanup()

    def digests(self, *args):
        out = run(SHA3SUM, *args, *self.files)
        self.assertEqual(out.returncode, 0, out.stderr)
        lines = out.stdout.decode().splitlines()
        self.assertEqual([line.split("  ", 1)[1] for line in lines], list(self.files))
        return [line.split("  ", 1)[0] for line in lines]

    def test_digests_match_noble(self):
        checked = 0
        for algo, default_len in NEW_ALGORITHMS.items():
            lengths = (None,) if algo == "keccak256" else (None, 1, 2, 200, 1000)
            for length in lengths:
                n = default_len if length is None else length
                expected = noble([{"algo": algo, "path": p, "len": n} for p in self.files])
                if expected is None:
                    self.skipTest("node or @noble/hashes not available (set VEXO_NOBLE_DIR)")
                args = ["-a", algo] + ([] if length is None else ["-l", str(length)])
                self.assertEqual(self.digests(*args), expected, (algo, length))
                if algo.startswith("kt"):
                    self.assertEqual(self.digests(*args, "-j", "2"), expected, (algo, length))
                checked += 1
        self.assertEqual(checked, 21)

    def test_known_answers(self):
        """The vectors with sha3sum's parameters (domain 0x1F, no customization)."""
        names = {"TurboSHAKE128": "turboshake128", "TurboSHAKE256": "turboshake256",
                 "KT128": "kt128", "KT256": "kt256"}
        checked = 0
        with open(os.path.join(HERE, "data", "k12", "vectors.txt"), encoding="ascii") as f:
            for line in f:
                fields = dict(field.split("=", 1) for field in line.split()[1:])
                if fields.get("D", "0x1f") != "0x1f" or fields.get("custom", "ptn:0") != "ptn:0":
                    continue
                algo = names[line.split()[0]]
                path = os.path.join(self.dir.name, "ptn")
                with open(path, "wb") as out:
                    out.write(pattern(int(fields["msg"][4:])))
                for extra in (["-j", "2"], []) if algo.startswith("kt") else ([],):
                    out = run(SHA3SUM, "-a", algo, "-l", fields["outlen"], *extra, path)
                    self.assertEqual(out.returncode, 0, out.stderr)
                    digest = out.stdout.decode().split("  ", 1)[0]
                    expected = fields.get("out") or fields["last32"]
                    self.assertEqual(digest[-len(expected):], expected, line)
                    self.assertEqual(len(digest), 2 * int(fields["outlen"]), line)
                checked += 1
        self.assertGreaterEqual(checked, 40)

    def test_keccak256_published_digests(self):
        for data, expected in (
                (b"", "c5d2460186f7233c927e7db2dcc703c0e500b653ca82273b7bfad8045d85a470"),
                (b"abc", "4e03657aea45a94fc7d47ba826c8d667c0d1e6e33a64a036ec44f58fa12d6c45")):
            out = run(SHA3SUM, "-a", "keccak256", stdin=data)
            self.assertEqual(out.stdout.decode(), "%s  -\n" % expected)

    def test_tagged_lines_and_check_mode(self):
        paths = list(self.files)
        out = run(SHA3SUM, "--tag", *paths)
        self.assertEqual(out.stdout.decode().splitlines(),
                         ["SHA3-256 (%s) = %s" % (p, hashlib.sha3_256(d).hexdigest())
                          for p, d in self.files.items()])
        listing = out.stdout.decode().splitlines()
        for args in (["-a", "shake128", "-l", "10"], ["-a", "512"], ["-a", "kt128", "-l", "40"],
                     ["-a", "kt256", "-j", "2"], ["-a", "turboshake256"], ["-a", "keccak256"]):
            tagged = run(SHA3SUM, "--tag", *args, *paths)
            self.assertEqual(tagged.returncode, 0, tagged.stderr)
            listing += tagged.stdout.decode().splitlines()
        self.assertTrue(any(line.startswith("KT128 (") for line in listing))
        self.assertTrue(any(line.startswith("Keccak-256 (") for line in listing))
        listing += run(SHA3SUM, "-a", "384", *paths).stdout.decode().splitlines()  # plain lines
        self.assertEqual(len(listing), 8 * len(paths))

        def flip(c):
            return "0" if c != "0" else "1"

        # One wrong digit in tagged SHA3-256, SHAKE128, KT128 and TurboSHAKE256 lines and in
        # a plain SHA3-384 line.
        bad = {5, len(paths) + 2, 3 * len(paths) + 8, 5 * len(paths) + 3, len(listing) - 1}
        for i in bad:
            line = listing[i]
            listing[i] = line[:-1] + flip(line[-1]) if " = " in line else flip(line[0]) + line[1:]
        check_file = os.path.join(self.dir.name, "sums")
        with open(check_file, "w") as f:
            f.write("\n".join(listing) + "\n")
        for extra in ([], ["-j", "2"]):
            out = run(SHA3SUM, "-c", *extra, check_file)
            self.assertEqual(out.returncode, 1, out.stderr)
            results = out.stdout.decode().splitlines()
            self.assertEqual(len(results), len(listing))
            self.assertEqual({i for i, line in enumerate(results) if line.endswith(": FAILED")},
                             bad)
            self.assertEqual(sum(line.endswith(": OK") for line in results),
                             len(listing) - len(bad))


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
                expected[b"tree/" + name] = hashlib.sha3_256(data).hexdigest()
            result = subprocess.run([HASH_TREE, "-j", "3", "-o", out_dir, "tree"], cwd=top,
                                    capture_output=True, check=False)
            self.assertEqual(result.returncode, 0, result.stderr)
            manifests = os.listdir(out_dir)
            self.assertEqual(len(manifests), 1)
            self.assertRegex(manifests[0], r"^\d{4}-\d\d-\d\dT\d{6}-hash_tree\.sha3-256$")
            with open(os.path.join(out_dir, manifests[0]), "rb") as f:
                lines = f.read().splitlines()
            got = {}
            for line in lines:
                m = re.fullmatch(rb"SHA3-256 \((.*)\) = ([0-9a-f]{64})", line)
                self.assertIsNotNone(m, line)
                got[m.group(1)] = m.group(2).decode()
            self.assertEqual(got, expected)

    def test_kt128_manifest(self):
        with tempfile.TemporaryDirectory() as top, tempfile.TemporaryDirectory() as out_dir:
            os.mkdir(os.path.join(top, "tree"))
            paths = []
            for i, n in enumerate((0, 8193, 100000, 1 << 20)):
                path = os.path.join(top, "tree", "f%d" % i)
                with open(path, "wb") as f:
                    f.write(os.urandom(n))
                paths.append(path)
            expected = noble([{"algo": "kt128", "path": p, "len": 32} for p in paths])
            if expected is None:  # sha3sum's kt128 is checked against the known answers
                expected = [run(SHA3SUM, "-a", "kt128", p).stdout.decode().split()[0]
                            for p in paths]
            result = subprocess.run([HASH_TREE, "-j", "2", "-o", out_dir, "--algorithm", "kt128",
                                     "tree"], cwd=top, capture_output=True, check=False)
            self.assertEqual(result.returncode, 0, result.stderr)
            manifests = os.listdir(out_dir)
            self.assertEqual(len(manifests), 1)
            self.assertRegex(manifests[0], r"^\d{4}-\d\d-\d\dT\d{6}-hash_tree\.kt128$")
            with open(os.path.join(out_dir, manifests[0]), encoding="ascii") as f:
                lines = f.read().splitlines()
            self.assertEqual(lines, ["KT128 (tree/f%d) = %s" % (i, d)
                                     for i, d in enumerate(expected)])

    def test_ctrl_c_drops_pending_work_and_writes_no_manifest(self):
        with tempfile.TemporaryDirectory() as top, tempfile.TemporaryDirectory() as out_dir:
            os.mkdir(os.path.join(top, "tree"))
            for i in range(40):  # sparse files: seconds of hashing, no disk
                with open(os.path.join(top, "tree", "big%02d" % i), "wb") as f:
                    f.truncate((32 if ASAN else 256) << 20)  # ASan hashes about 8x slower
            proc = subprocess.Popen([HASH_TREE, "-j", "2", "-o", out_dir, "tree"], cwd=top,
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            time.sleep(0.5)
            proc.send_signal(signal.SIGINT)
            _, err = proc.communicate(timeout=300)
            self.assertEqual(proc.returncode, 130, err)
            self.assertIn(b"interrupted:", err)
            self.assertEqual(os.listdir(out_dir), [])


# By its bare name, as coreutils names itself in messages after argv[0].
SHA256SUM = "sha256sum" if shutil.which("sha256sum") else None


def neutral(text):
    """`text` with the program's name and the algorithm's name in -w's message taken
    out, so that sha256sum's and sha3sum's messages compare."""
    text = text.replace(b"sha256sum", b"PROG").replace(b"sha3sum", b"PROG")
    return re.sub(rb"improperly formatted \S+ checksum line", b"improperly formatted checksum line",
                  text)


def checks(tool, *args, cwd=None, stdin=None, merged=False):
    """(exit status, stdout, stderr) of `tool -c ARGS`, names taken out (neutral());
    with `merged`, stderr goes where stdout goes, as in a log of both, and comes back
    in stdout."""
    out = subprocess.run([tool, "-c", *args], cwd=cwd, input=stdin, stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT if merged else subprocess.PIPE, check=False)
    return out.returncode, neutral(out.stdout), neutral(out.stderr or b"")


class Sha3sumCoreutilsConventions(unittest.TestCase):
    """sha3sum's check mode, names and options, with coreutils' sha256sum as the oracle
    where both apply: the same check files (digests apart) must give the same exit
    status, the same lines on standard output and the same messages."""

    NAMES = [b"plain", b"with space", b"new\nline", b"back\\slash", b"carriage\rreturn",
             b"all \\ of\n\rthem"]

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.cwd = self.dir.name
        for i, name in enumerate(self.NAMES):
            with open(os.path.join(self.cwd.encode(), name), "wb") as f:
                f.write(os.urandom(100 * i))

    def tearDown(self):
        self.dir.cleanup()

    def write(self, name, data):
        with open(os.path.join(self.cwd, name), "wb") as f:
            f.write(data)

    def sums(self, tool, *args, names=None):
        out = subprocess.run([tool, *args, *(names or self.NAMES)], cwd=self.cwd,
                             capture_output=True, check=False)
        self.assertEqual(out.returncode, 0, out.stderr)
        return out.stdout

    def test_escaped_names_are_written_as_coreutils_writes_them_and_read_back(self):
        for tag in ([], ["--tag"]):
            ours = self.sums(SHA3SUM, "-a", "sha3-256", *tag).splitlines(keepends=True)
            self.assertEqual(len(ours), len(self.NAMES))
            for line, name in zip(ours, self.NAMES):
                digest = hashlib.sha3_256(open(os.path.join(self.cwd.encode(), name),
                                               "rb").read()).hexdigest().encode()
                escaped = b"\\" in name or b"\n" in name or b"\r" in name
                shown = name.replace(b"\\", b"\\\\").replace(b"\n", b"\\n").replace(
                    b"\r", b"\\r")
                body = (b"SHA3-256 (%s) = %s\n" % (shown, digest) if tag
                        else b"%s  %s\n" % (digest, shown))
                self.assertEqual(line, (b"\\" if escaped else b"") + body)
            if SHA256SUM is not None:  # the same name forms as coreutils
                theirs = self.sums(SHA256SUM, *tag).splitlines()
                strip = (lambda l: l.rstrip(b"\n").split(b" = ")[0].split(b" ", 1)[1]) if tag \
                    else (lambda l: l.rstrip(b"\n").split(b"  ", 1)[1])
                self.assertEqual([strip(l) for l in ours], [strip(l) for l in theirs])
                self.assertEqual([l[:1] == b"\\" for l in ours], [l[:1] == b"\\" for l in theirs])
            self.write("sums", b"".join(ours))
            status, out, err = checks(SHA3SUM, "sums", cwd=self.cwd)
            self.assertEqual((status, err), (0, b""))
            self.assertEqual(out.count(b": OK\n"), len(self.NAMES), out)
            if SHA256SUM is not None:
                self.write("sums256", self.sums(SHA256SUM, *tag))
                self.assertEqual(checks(SHA256SUM, "sums256", cwd=self.cwd),
                                 (status, out, err))

    def test_check_mode_matches_sha256sum(self):
        if SHA256SUM is None:
            self.skipTest("coreutils' sha256sum not available")
        self.write("extra", b"extra bytes")

        def check_file(tool, algo_args):
            """The same faults in each tool's own lines."""
            lines = self.sums(tool, *algo_args, names=[b"plain", b"with space", b"new\nline",
                                                       b"extra"]).splitlines()
            good, spaced, newline, extra = lines
            upper = good.split(b"  ")[0].upper() + b"  " + good.split(b"  ")[1]
            flipped = (b"0" if extra[1:2] != b"0" else b"1")
            mismatch = extra[:1] + flipped + extra[2:]
            missing = good.replace(b"  plain", b"  no such file")
            missing_space = good.replace(b"  plain", b"  missing file")
            digest, name = good.split(b"  ", 1)
            return {
                "mixed": b"\n".join([upper + b"\r", spaced, newline, mismatch, missing,
                                     b"garbage line", missing_space, b""]),
                "ok_and_garbage": b"\n".join([good, b"not a checksum", b""]),
                "only_missing": b"\n".join([missing, b""]),
                "missing_and_ok": b"\n".join([missing, good, b""]),
                "nothing": b"no checksums here\n",
                # Empty lines are neither proper nor improper; blanks before a line are
                # skipped; one blank (a space or a tab) between digest and name is the
                # "reversed" form, after which the two-space form is refused, and the
                # other way round.
                "blank_lines": b"\n".join([b"", good, b"", b"\r", spaced, b"", b""]),
                "leading_blanks": b"\n".join([b"  " + good, b"\t " + spaced, b""]),
                "one_blank": b"\n".join([digest + b" " + name, digest + b"\t" + name, good,
                                         b""]),
                "two_then_one": b"\n".join([good, digest + b" " + name, b""]),
            }

        ours = check_file(SHA3SUM, ["-a", "sha3-256"])
        theirs = check_file(SHA256SUM, [])
        for case in ours:
            self.write("ours " + case, ours[case])
            self.write("theirs " + case, theirs[case])
        # Of -w, --quiet and --status the last one given wins.
        options = ([], ["--quiet"], ["--status"], ["--strict"], ["-w"], ["--ignore-missing"],
                   ["--ignore-missing", "--strict", "-w"], ["--status", "--ignore-missing"],
                   ["--status", "-w", "--strict"], ["-w", "--status"], ["--quiet", "-w"],
                   ["--status", "--quiet"])
        compared = 0
        for case in ours:
            for opts in options:
                for merged in (False, True):  # merged: stdout flushed before each message
                    got = checks(SHA3SUM, *opts, "ours " + case, cwd=self.cwd, merged=merged)
                    want = checks(SHA256SUM, *opts, "theirs " + case, cwd=self.cwd,
                                  merged=merged)
                    self.assertEqual(got[0], want[0], (case, opts, got))
                    self.assertEqual(got[1].replace(b"ours ", b""),
                                     want[1].replace(b"theirs ", b""), (case, opts, merged))
                    self.assertEqual(got[2].replace(b"ours ", b""),
                                     want[2].replace(b"theirs ", b""), (case, opts))
                compared += 1
        self.assertEqual(compared, 9 * 12)
        # A check file that cannot be opened, one that cannot be read (a directory), none
        # at all on standard input, and "-" named in a list read from standard input.
        os.mkdir(os.path.join(self.cwd, "a directory"))
        for args, stdin in ((["no such list"], None), (["a directory"], None),
                            ([], b"nothing\n"), ([], b"%s  -\n" % (b"0" * 64))):
            self.assertEqual(checks(SHA3SUM, *args, cwd=self.cwd, stdin=stdin),
                             checks(SHA256SUM, *args, cwd=self.cwd, stdin=stdin), args)

    def test_standard_input_is_read_from_where_it_stands(self):
        """Descriptor 0 as it was given, never /dev/stdin opened again: after a reader
        that took part of a file, twice in a row, and as a socket."""
        data = os.urandom(100000)
        self.write("stdin data", data)
        tools = [(SHA3SUM, hashlib.sha3_256, [[], ["-j", "2"]])]
        if SHA256SUM is not None:  # coreutils beside it: the same bytes are hashed
            tools.append((SHA256SUM, hashlib.sha256, [[]]))
        for tool, ref, variants in tools:
            for extra in variants:
                def shell(command):
                    out = subprocess.run(["sh", "-c", command, "sh", tool, *extra],
                                         cwd=self.cwd, capture_output=True, check=False)
                    self.assertEqual(out.returncode, 0, (tool, command, out.stderr))
                    return out.stdout.decode()

                empty = ref(b"").hexdigest()
                self.assertEqual(
                    shell('(dd bs=6 count=1 of=/dev/null status=none; "$@") < "stdin data"'),
                    "%s  -\n" % ref(data[6:]).hexdigest(), tool)
                both = "%s  -\n%s  -\n" % (ref(data).hexdigest(), empty)
                self.assertEqual(shell('"$@" - - < "stdin data"'), both, tool)
                self.assertEqual(shell('cat "stdin data" | "$@" - -'), both, tool)
                mine, theirs = socket.socketpair()
                with mine, theirs:
                    proc = subprocess.Popen([tool, *extra], stdin=theirs, stdout=subprocess.PIPE,
                                            stderr=subprocess.PIPE)
                    mine.sendall(data)
                    mine.shutdown(socket.SHUT_WR)
                    out, err = proc.communicate(timeout=60)
                self.assertEqual((proc.returncode, err), (0, b""), tool)
                self.assertEqual(out.decode(), "%s  -\n" % ref(data).hexdigest(), tool)

    def test_empty_digest_is_no_ok(self):
        # An empty digest would match the empty output prefix of any file.
        self.write("empty_digest", b"SHAKE128 (plain) = \n0  plain\n")
        status, out, err = checks(SHA3SUM, "empty_digest", cwd=self.cwd)
        self.assertEqual(status, 1)
        self.assertNotIn(b"OK", out)
        self.assertIn(b"no properly formatted checksum lines found", err)
        for bad in ("0", "-1", "99999999999999999999", "x"):
            out = run(SHA3SUM, "-a", "shake128", "-l", bad, os.path.join(self.cwd, "plain"))
            self.assertEqual(out.returncode, 1, bad)
            self.assertEqual(out.stdout, b"")
            self.assertEqual(out.stderr.decode().splitlines(),
                             ["sha3sum: invalid length '%s' (1 to 2^60 bytes)" % bad,
                              "Try 'sha3sum --help' for more information."])

    def test_options(self):
        plain = os.path.join(self.cwd, "plain")
        out = run(SHA3SUM, "--help")
        self.assertEqual((out.returncode, out.stderr), (0, b""))
        self.assertTrue(out.stdout.startswith(b"Usage: sha3sum "), out.stdout)
        out = run(SHA3SUM, "--version")
        self.assertEqual(out.returncode, 0)
        self.assertRegex(out.stdout.decode(), r"^sha3sum \(vexo_util\) \d+\.\d+\.\d+\n$")
        for args, message in (
                (["-a", "x", plain], "sha3sum: unknown algorithm 'x'"),
                (["--bogus", plain], "sha3sum: unrecognized option '--bogus'"),
                (["-q", plain], "sha3sum: invalid option -- 'q'"),
                (["-j", "0", plain], "sha3sum: invalid number of jobs '0' (1 to 256)"),
                ([plain, "-a"], "sha3sum: option requires an argument -- 'a'"),
                (["--algorithm"], "sha3sum: option '--algorithm' requires an argument"),
                (["--len"], "sha3sum: option '--length' requires an argument")):
            out = run(SHA3SUM, *args)
            self.assertEqual((out.returncode, out.stdout), (1, b""), args)
            self.assertEqual(out.stderr.decode().splitlines(),
                             [message, "Try 'sha3sum --help' for more information."])
        # A long option given an argument it does not take, or abbreviated ambiguously:
        # named as given, as coreutils names it.
        if SHA256SUM is not None:
            for args in (["--tag=x"], ["--quiet=1"], ["--check=x"], ["--status=", plain],
                         ["--st"], ["--warn=yes"], ["--bogus"], ["-q"], ["--tag", "-c", plain],
                         # Options of -c alone, each named in its own message.
                         ["--status", plain], ["--ignore-missing", "--quiet", plain],
                         ["-w", plain], ["--quiet", plain], ["--strict", plain],
                         ["--status", "-w", plain]):
                ours, theirs = run(SHA3SUM, *args), run(SHA256SUM, *args)
                self.assertEqual(ours.returncode, theirs.returncode, args)
                self.assertEqual(neutral(ours.stderr), neutral(theirs.stderr), args)
        # The names of --tag, in any case, and the short ones.
        expected = run(SHA3SUM, "-a", "256", plain).stdout
        self.assertTrue(expected.startswith(hashlib.sha3_256(open(plain, "rb").read())
                                            .hexdigest().encode()))
        for name in ("sha3-256", "SHA3-256"):
            self.assertEqual(run(SHA3SUM, "-a", name, plain).stdout, expected)
        self.assertEqual(run(SHA3SUM, "-a", "KT128", plain).stdout,
                         run(SHA3SUM, "-a", "kt128", plain).stdout)
        # -- ends the options: a file named -a.
        self.write("-a", b"dash")
        out = subprocess.run([SHA3SUM, "--", "-a"], cwd=self.cwd, capture_output=True)
        self.assertEqual(out.stdout.decode(), "%s  -a\n" % hashlib.sha3_256(b"dash").hexdigest())

    @unittest.skipIf(os.environ.get("VEXO_TEST_EMULATED"),
                     "RLIMIT_AS would bound the emulator's address space, not the program's")
    def test_long_output_streams_in_constant_memory(self):
        import resource
        if ASAN:
            self.skipTest("AddressSanitizer cannot run under RLIMIT_AS")

        def limit():  # 256 MiB of address space: a whole -l 10^12 output cannot fit
            resource.setrlimit(resource.RLIMIT_AS, (256 << 20, 256 << 20))

        plain = os.path.join(self.cwd, "with space")
        proc = subprocess.Popen([SHA3SUM, "-a", "shake256", "-l", "1000000000000", plain],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                preexec_fn=limit)
        head = proc.stdout.read(200000)
        proc.kill()
        proc.communicate()
        with open(plain, "rb") as f:
            self.assertEqual(head.decode(), hashlib.shake_256(f.read()).hexdigest(100000))
        # ParallelHash binds the length into its output and makes it whole: an output that
        # cannot be had is refused for that file, with exit status 1, not an abort.
        out = subprocess.run([SHA3SUM, "-a", "ParallelHash128", "-l", str(1 << 30), "with space",
                              "with space"], cwd=self.cwd, capture_output=True, preexec_fn=limit)
        self.assertEqual((out.returncode, out.stdout), (1, b""), out.stderr)
        self.assertEqual(out.stderr.decode().splitlines(), 2 * [
            "sha3sum: 'with space': memory exhausted: ParallelHash128 makes its 1073741824 "
            "bytes of output whole"])

    def test_jobs_hash_files_at_once_and_print_in_argument_order(self):
        rng = random.Random(5)
        names, data = [], {}
        for i, n in enumerate((9 << 20, 0, 70000, 1, 3 << 20, 8193, 100)):
            names.append("j%d" % i)
            data[names[-1]] = bytes(rng.getrandbits(8) for _ in range(min(n, 4096))) * (
                n // 4096) + bytes(n % 4096)
            self.write(names[-1], data[names[-1]])
        names.insert(3, "missing")
        for algo in ("256", "kt128"):
            serial = subprocess.run([SHA3SUM, "-a", algo, *names], cwd=self.cwd,
                                    capture_output=True)
            parallel = subprocess.run([SHA3SUM, "-a", algo, "-j", "3", *names], cwd=self.cwd,
                                      capture_output=True)
            self.assertEqual(parallel.returncode, 1)
            self.assertEqual(parallel.stdout, serial.stdout)
            self.assertEqual(parallel.stderr,
                             b"sha3sum: missing: No such file or directory\n")
            self.assertEqual([line.split("  ")[1] for line in parallel.stdout.decode()
                              .splitlines()], [n for n in names if n != "missing"])
        lines = serial.stdout.decode().splitlines()  # kt128; the SHA3-256 ones against hashlib
        sha3 = subprocess.run([SHA3SUM, "-j", "2", *names], cwd=self.cwd,
                              capture_output=True).stdout.decode().splitlines()
        self.assertEqual(sha3, ["%s  %s" % (hashlib.sha3_256(data[n]).hexdigest(), n)
                                for n in names if n != "missing"])
        self.write("kt_sums", ("\n".join(lines) + "\n").encode())
        out = subprocess.run([SHA3SUM, "-c", "-j", "2", "-a", "kt128", "kt_sums"],
                             cwd=self.cwd, capture_output=True)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertEqual(out.stdout.decode(), "".join("%s: OK\n" % n for n in names
                                                      if n != "missing"))


class HashTreeManifests(unittest.TestCase):
    def test_bad_arguments_and_roots_exit_1(self):
        with tempfile.TemporaryDirectory() as top:
            os.mkdir(os.path.join(top, "tree"))
            for bad in ("0", "abc", "-1", "20000"):
                out = subprocess.run([HASH_TREE, "-j", bad, "-o", top, "tree"], cwd=top,
                                     capture_output=True)
                self.assertEqual(out.returncode, 1, (bad, out.stderr))
                self.assertIn(b"usage: hash_tree", out.stderr)
            out = subprocess.run([HASH_TREE, "-o", top, "no such root"], cwd=top,
                                 capture_output=True)
            self.assertEqual(out.returncode, 1, out.stderr)
            self.assertIn(b"hash_tree: no such root: No such file or directory", out.stderr)
            self.assertEqual(sorted(os.listdir(top)), ["tree"])
            # An output directory that is missing or not a directory is refused before any
            # file is hashed.
            with open(os.path.join(top, "tree", "f"), "wb") as f:
                f.write(b"x")
            for out_dir, problem in (("missing", "No such file or directory"),
                                     ("tree/f", "Not a directory")):
                out = subprocess.run([HASH_TREE, "-o", out_dir, "tree"], cwd=top,
                                     capture_output=True)
                self.assertEqual((out.returncode, out.stdout), (1, b""), out_dir)
                self.assertEqual(out.stderr.decode(), "hash_tree: %s: %s\n" % (out_dir, problem))
            out = subprocess.run([HASH_TREE, "--help"], capture_output=True)
            self.assertEqual((out.returncode, out.stderr), (0, b""))
            self.assertTrue(out.stdout.startswith(b"usage: hash_tree "), out.stdout)
            self.assertIn(b"--algorithm NAME", out.stdout)

    def test_preview_shows_whole_lines(self):
        with tempfile.TemporaryDirectory() as top, tempfile.TemporaryDirectory() as out_dir:
            deep = os.path.join("tree", *["d%03d" % i for i in range(150)], "file")  # 760 bytes
            os.makedirs(os.path.join(top, os.path.dirname(deep)))
            with open(os.path.join(top, deep), "wb") as f:
                f.write(b"deep")
            out = subprocess.run([HASH_TREE, "-o", out_dir, "tree"], cwd=top, capture_output=True)
            self.assertEqual(out.returncode, 0, out.stderr)
            line = "SHA3-256 (%s) = %s" % (deep, hashlib.sha3_256(b"deep").hexdigest())
            self.assertEqual(out.stdout.decode().split("first entries:\n")[1], "  %s\n" % line)

    def test_manifest_is_checked_by_sha3sum_and_never_overwritten(self):
        with tempfile.TemporaryDirectory() as top, tempfile.TemporaryDirectory() as out_dir:
            tree = os.path.join(top.encode(), b"tree")
            names = [b"plain", b"with space", b"new\nline", b"back\\slash", b"sub/deeper/file",
                     b"sub/cr\rname"]
            for i, name in enumerate(names):
                os.makedirs(os.path.dirname(os.path.join(tree, name)), exist_ok=True)
                with open(os.path.join(tree, name), "wb") as f:
                    f.write(os.urandom(3000 * i))
            os.mkfifo(os.path.join(tree, b"fifo"))
            os.symlink(b"plain", os.path.join(tree, b"link"))  # find -type f skips it too
            with open(os.path.join(top, "lone file"), "wb") as f:
                f.write(b"a root that is a file")
            roots = ["tree/", "./tree/sub", "lone file"]
            find = subprocess.run(["find", *roots, "-type", "f", "-print0"], cwd=top,
                                  capture_output=True, check=True).stdout.split(b"\0")[:-1]
            runs = [subprocess.run([HASH_TREE, "-j", "2", "-o", out_dir, *algo, *roots], cwd=top,
                                   capture_output=True)
                    for algo in ([], [], ["--algorithm", "KT128"])]
            for result in runs:
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertIn(b"hash_tree: skipped, not regular files: 1 FIFO(s), 0 socket(s), "
                              b"0 device(s)", result.stderr)
            manifests = sorted(os.listdir(out_dir))
            self.assertEqual(len(manifests), 3, manifests)  # the same second, three files
            for manifest in manifests:
                path = os.path.join(out_dir, manifest)
                with open(path, "rb") as f:
                    text = f.read()
                listed = []
                for line in text.splitlines():
                    m = re.fullmatch(rb"(\\?)(SHA3-256|KT128) \((.*)\) = ([0-9a-f]{64})", line)
                    self.assertIsNotNone(m, line)
                    name = m.group(3)
                    if m.group(1):
                        name = re.sub(rb"\\(.)", lambda e: {b"n": b"\n", b"r": b"\r",
                                                            b"\\": b"\\"}[e.group(1)], name)
                    listed.append(name)
                self.assertEqual(sorted(listed), sorted(find))
                out = subprocess.run([SHA3SUM, "-c", path], cwd=top, capture_output=True)
                self.assertEqual(out.returncode, 0, out.stderr)
                self.assertEqual(out.stdout.count(b": OK\n"), len(find))
                # A changed file is found.
                with open(os.path.join(tree, b"plain"), "ab") as f:
                    f.write(b"!")
                out = subprocess.run([SHA3SUM, "-c", "--quiet", path], cwd=top,
                                     capture_output=True)
                self.assertEqual((out.returncode, out.stdout), (1, b"tree/plain: FAILED\n"))
                with open(os.path.join(tree, b"plain"), "r+b") as f:
                    f.truncate(0)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
