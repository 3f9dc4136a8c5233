#!/usr/bin/env python3
"""hash_tree (its default worker count) against Python's hashlib on one thread.

    python3 benchmarks/hash_tree_vs_hashlib.py HASH_TREE [DIR] [--runs N]

Hashes DIR (default /usr/include) with SHA3-256 both ways, with a warm cache
(one untimed pass of each first), and prints the median wall times, the ratio
and whether every digest agrees. Exits 1 when the digests differ or the ratio
is above 0.5 (the aim: hash_tree keeps both cores busy).
"""
import argparse
import hashlib
import os
import statistics
import subprocess
import sys
import tempfile
import time


def hashlib_tree(root):
    digests = []
    for dirpath, dirnames, filenames in os.walk(root):
        dirnames.sort()
        for name in sorted(filenames):
            path = os.path.join(dirpath, name)
            if not os.path.isfile(path):
                continue
            h = hashlib.sha3_256()
            try:
                with open(path, "rb") as f:
                    for block in iter(lambda: f.read(1 << 20), b""):
                        h.update(block)
            except OSError:
                continue
            digests.append(h.hexdigest())
    return digests


def hash_tree(binary, root, out_dir):
    for old in os.listdir(out_dir):
        os.remove(os.path.join(out_dir, old))
    subprocess.run([binary, "-o", out_dir, root], check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    (manifest,) = os.listdir(out_dir)
    with open(os.path.join(out_dir, manifest)) as f:
        return [line.split("  ", 1)[0] for line in f]


def timed(fn, *args):
    t0 = time.perf_counter()
    result = fn(*args)
    return time.perf_counter() - t0, result


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("hash_tree")
    parser.add_argument("dir", nargs="?", default="/usr/include")
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as out_dir:
        hash_tree(args.hash_tree, args.dir, out_dir)  # warm the cache
        expected = hashlib_tree(args.dir)
        ours, theirs = [], []
        for _ in range(args.runs):  # take turns
            t, got = timed(hash_tree, args.hash_tree, args.dir, out_dir)
            ours.append(t)
            t, _ = timed(hashlib_tree, args.dir)
            theirs.append(t)
    same = sorted(got) == sorted(expected)
    ratio = statistics.median(ours) / statistics.median(theirs)
    print(f"{len(expected)} files under {args.dir}")
    print(f"hash_tree: median {statistics.median(ours):.3f} s over {args.runs} runs "
          f"({min(ours):.3f} .. {max(ours):.3f})")
    print(f"hashlib, one thread: median {statistics.median(theirs):.3f} s "
          f"({min(theirs):.3f} .. {max(theirs):.3f})")
    print(f"ratio: {ratio:.2f}x hashlib's time (target <= 0.5); digests agree: {same}")
    return 0 if same and ratio <= 0.5 else 1


if __name__ == "__main__":
    sys.exit(main())
