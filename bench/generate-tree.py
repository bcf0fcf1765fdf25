#!/usr/bin/env python3
"""Builds and changes the file trees that bench/run-benchmarks.sh times.

Every byte and every time stamp follows from the seed, so two machines time the same trees.
"""

import argparse
import os
import random
import shutil
import sys
import time

# 2024-01-01 00:00:00 UTC: generated files look like an old, settled backup source.
BASE_MTIME_NS = 1704067200 * 1_000_000_000
CHUNK = 1 << 20


def leaf_directories(dirs, depth):
    """Names `dirs` leaf directories `depth` levels deep, filling a tree of equal fan-out."""
    fanout = 1
    while fanout**depth < dirs:
        fanout += 1
    leaves = []
    for index in range(dirs):
        parts = []
        for level in reversed(range(depth)):
            parts.append("d%02d" % (index // fanout**level % fanout))
        leaves.append(os.path.join(*parts))
    return leaves


def write_file(path, data, mtime_ns):
    with open(path, "wb") as out:
        out.write(data)
    os.utime(path, ns=(mtime_ns, mtime_ns))


def make_tree(args):
    rng = random.Random(args.seed)
    staging = args.root + ".partial"
    shutil.rmtree(staging, ignore_errors=True)
    leaves = leaf_directories(args.dirs, args.depth)
    for leaf in leaves:
        os.makedirs(os.path.join(staging, leaf), exist_ok=True)
    for number in range(args.files):
        leaf = leaves[number % len(leaves)]
        size = rng.randint(args.min_size, args.max_size)
        path = os.path.join(staging, leaf, "f%06d.dat" % number)
        write_file(path, rng.randbytes(size), BASE_MTIME_NS + number * 1_000_000_000)
    os.rename(staging, args.root)


def make_big_file(args):
    rng = random.Random(args.seed)
    staging = args.root + ".partial"
    shutil.rmtree(staging, ignore_errors=True)
    os.makedirs(staging)
    path = os.path.join(staging, "big.dat")
    with open(path, "wb") as out:
        remaining = args.size
        while remaining > 0:
            step = min(CHUNK, remaining)
            out.write(rng.randbytes(step))
            remaining -= step
    os.utime(path, ns=(BASE_MTIME_NS, BASE_MTIME_NS))
    os.rename(staging, args.root)


def pick_files(args):
    """Prints a seeded sample of the tree's files, relative to its root, one per line."""
    files = []
    for directory, subdirs, names in os.walk(args.root):
        subdirs.sort()
        for name in sorted(names):
            files.append(os.path.relpath(os.path.join(directory, name), args.root))
    count = max(1, round(len(files) * args.fraction))
    for path in sorted(random.Random(args.seed).sample(files, count)):
        print(path)


def read_list(path):
    with open(path) as listing:
        return [line.rstrip("\n") for line in listing if line.strip()]


def rewrite_files(args):
    """Gives each listed file new contents and a modification time of now.

    The round number feeds the contents, so every timed repetition copies different bytes.
    """
    now_ns = time.time_ns()
    for path in read_list(args.list):
        rng = random.Random("%d:%d:%s" % (args.seed, args.round, path))
        data = rng.randbytes(rng.randint(args.min_size, args.max_size))
        write_file(os.path.join(args.root, path), data, now_ns)


def copy_listed(args):
    """Copies the listed files, contents and time stamps, from one tree into another."""
    for path in read_list(args.list):
        target = os.path.join(args.target, path)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copy2(os.path.join(args.root, path), target)


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__)
    commands = parser.add_subparsers(dest="command", required=True)

    tree = commands.add_parser("tree", help="many small files in leaf directories")
    tree.add_argument("root")
    tree.add_argument("--files", type=int, required=True)
    tree.add_argument("--dirs", type=int, required=True)
    tree.add_argument("--depth", type=int, default=3)
    tree.add_argument("--min-size", type=int, required=True)
    tree.add_argument("--max-size", type=int, required=True)
    tree.add_argument("--seed", type=int, default=1)
    tree.set_defaults(action=make_tree)

    big = commands.add_parser("bigfile", help="a directory holding one large file, big.dat")
    big.add_argument("root")
    big.add_argument("--size", type=int, required=True)
    big.add_argument("--seed", type=int, default=1)
    big.set_defaults(action=make_big_file)

    pick = commands.add_parser("pick", help="print a seeded sample of the tree's files")
    pick.add_argument("root")
    pick.add_argument("--fraction", type=float, required=True)
    pick.add_argument("--seed", type=int, default=1)
    pick.set_defaults(action=pick_files)

    rewrite = commands.add_parser("rewrite", help="new contents and mtime for the listed files")
    rewrite.add_argument("root")
    rewrite.add_argument("list")
    rewrite.add_argument("--round", type=int, required=True)
    rewrite.add_argument("--min-size", type=int, required=True)
    rewrite.add_argument("--max-size", type=int, required=True)
    rewrite.add_argument("--seed", type=int, default=1)
    rewrite.set_defaults(action=rewrite_files)

    copy = commands.add_parser("copy-listed", help="copy the listed files to another tree")
    copy.add_argument("root")
    copy.add_argument("target")
    copy.add_argument("list")
    copy.set_defaults(action=copy_listed)

    return parser.parse_args()


def main():
    args = parse_arguments()
    if getattr(args, "files", 1) < 1 or getattr(args, "dirs", 1) < 1:
        sys.exit("generate-tree.py: --files and --dirs must be at least 1")
    args.action(args)


if __name__ == "__main__":
    main()
