#!/usr/bin/env python3
"""Times sha3sum and hash_tree against the tools they are measured against, in
interleaved rounds, and prints each pair's ratio of medians with its spread.

usage: tools_vs_coreutils.py SHA3SUM HASH_TREE [--file BIG] [--tree DIR] [--rounds N]

Pairs (ours, then the peer, run one after the other in each round, in
alternating order):
  sha3sum -a kt128 -j 2 BIG          b3sum BIG
  sha3sum -a 256 BIG                 openssl dgst -sha3-256 BIG
  hash_tree -j 2 --algorithm kt128   find DIR -type f -print0 | xargs -0 -P2 -n 2000 b3sum

BIG defaults to a 1 GiB file of random bytes made in /tmp (read once first, so
that it is cached). Each command runs once before the rounds to warm the
caches. The spread is the range of the per-round ratios. The load average is
printed before and after: other work on the machine shows there first.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time


def timed(command, shell=False):
    start = time.perf_counter()
    subprocess.run(command, shell=shell, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("sha3sum")
    parser.add_argument("hash_tree")
    parser.add_argument("--file", default="/tmp/vexo_bench_1g")
    parser.add_argument("--tree", default="/usr/include")
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    for tool in ("b3sum", "openssl"):
        if shutil.which(tool) is None:
            sys.exit("%s is missing (apt-get install -y b3sum openssl)" % tool)
    if not os.path.exists(args.file):
        with open(args.file, "wb") as f:
            for _ in range(1024):
                f.write(os.urandom(1 << 20))
    with open(args.file, "rb") as f:
        while f.read(1 << 24):
            pass

    out_dir = tempfile.mkdtemp()
    pairs = [
        ("sha3sum -a kt128 -j 2", [args.sha3sum, "-a", "kt128", "-j", "2", args.file],
         "b3sum", ["b3sum", args.file], False),
        ("sha3sum -a 256", [args.sha3sum, "-a", "256", args.file],
         "openssl dgst -sha3-256", ["openssl", "dgst", "-sha3-256", args.file], False),
        ("hash_tree -j 2 --algorithm kt128",
         [args.hash_tree, "-j", "2", "--algorithm", "kt128", "-o", out_dir, args.tree],
         "find | xargs -P2 -n 2000 b3sum",
         "find %s -type f -print0 | xargs -0 -P2 -n 2000 b3sum" % args.tree, True),
    ]
    print("load average before: %s" % " ".join("%.2f" % x for x in os.getloadavg()))
    for ours_name, ours, peer_name, peer, shell in pairs:
        timed(ours)
        timed(peer, shell)
        ours_times, peer_times = [], []
        for i in range(args.rounds):
            if i % 2 == 0:
                ours_times.append(timed(ours))
                peer_times.append(timed(peer, shell))
            else:
                peer_times.append(timed(peer, shell))
                ours_times.append(timed(ours))
        ratios = [o / p for o, p in zip(ours_times, peer_times)]
        print("%-34s median %.3f s (%.3f to %.3f)" %
              (ours_name, statistics.median(ours_times), min(ours_times), max(ours_times)))
        print("%-34s median %.3f s (%.3f to %.3f)" %
              (peer_name, statistics.median(peer_times), min(peer_times), max(peer_times)))
        print("  ratio of medians %.2fx (per-round ratios %.2fx to %.2fx)" %
              (statistics.median(ours_times) / statistics.median(peer_times), min(ratios),
               max(ratios)))
    print("load average after: %s" % " ".join("%.2f" % x for x in os.getloadavg()))
    shutil.rmtree(out_dir)


if __name__ == "__main__":
    main()
