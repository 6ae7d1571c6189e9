#!/usr/bin/env python3
# Deterministic generator of the benchmark's pair of folder trees A and B.
"""Builds <out>/<n>/A and <out>/<n>/B for a given number of entries per tree.

A: fan-out about 20, branches 3 to 6 levels deep (with --flat, fewer folders, as
on the file shares whose folders hold more files: about 1,300 folders in 20,000 entries; written
to <out>/<n>-flat), about 10 % Japanese names (some holding
characters whose second code page 932 byte is 0x5C, such as 表 and ソ), a few symbolic links
(inside the tree, outside it, dangling, to folders). B: A with 5 % of its entries removed and
as many new ones added. The same seed always gives the same trees; a finished pair is reused.
"""
import argparse
import os
import random
import shutil
import sys

JAPANESE = ["表", "ソフト", "表計算", "予定表", "能力", "資料", "報告書", "写真", "音楽", "設定",
            "データ", "ソース", "十月", "申請書", "会議", "議事録", "見積", "請求書", "日本語", "テスト"]
EXTENSIONS = [".txt", ".csv", ".dat", ".log", ".jpg", ".md", ".cpp", ".h", ""]
LETTERS = "abcdefghijklmnopqrstuvwxyz0123456789"
VERSION = "1"


def make_name(rng, used):
    while True:
        if rng.random() < 0.10:
            name = rng.choice(JAPANESE) + str(rng.randrange(1000))
        else:
            stem = "".join(rng.choice(LETTERS) for _ in range(rng.randint(4, 12)))
            if rng.random() < 0.1:
                stem += rng.choice("-_.") + str(rng.randrange(100))
            name = stem
        name += rng.choice(EXTENSIONS) if rng.random() < 0.7 else ""
        if name not in used:
            used.add(name)
            return name


def plan_a(rng, total, folder_chance):
    """Entries of A as (relative path, kind, link target) in creation order."""
    entries = []
    # Each queued folder: (relative path, depth, deepest depth of its branch).
    queue = [("", 0, 6)]
    head = 0
    while len(entries) < total:
        if head == len(queue):
            # Branches ran out of depth: widen a random folder instead.
            queue.append(rng.choice(queue))
        folder, depth, deepest = queue[head]
        head += 1
        used = set()
        for _ in range(rng.randint(10, 30)):
            if len(entries) >= total:
                break
            path = folder + "/" + make_name(rng, used) if folder else make_name(rng, used)
            branch_deepest = rng.randint(3, 6) if depth == 0 else deepest
            if depth + 1 < branch_deepest and rng.random() < folder_chance:
                entries.append((path, "d", None))
                queue.append((path, depth + 1, branch_deepest))
            else:
                entries.append((path, "f", None))
    # About one entry in 200 becomes a symbolic link of one of four kinds.
    folders = [p for p, k, _ in entries if k == "d"]
    files = [p for p, k, _ in entries if k == "f"]
    for i, (path, kind, _) in enumerate(entries):
        if kind != "f" or rng.random() >= 0.005:
            continue
        depth = path.count("/")
        up = "../" * depth
        choice = rng.randrange(4)
        if choice == 0:
            target = up + rng.choice(files)
        elif choice == 1:
            target = up + rng.choice(folders)
        elif choice == 2:
            target = up + "../outside/" + str(rng.randrange(10))
        else:
            target = "missing-" + str(rng.randrange(1000))
        entries[i] = (path, "l", target)
    return entries


def plan_b(rng, a_entries):
    """B: A without 5 % of its files and links, with as many new files."""
    count = len(a_entries) // 20
    leaves = [i for i, (_, k, _) in enumerate(a_entries) if k != "d"]
    removed = set(rng.sample(leaves, min(count, len(leaves))))
    b_entries = [e for i, e in enumerate(a_entries) if i not in removed]
    folders = [p for p, k, _ in a_entries if k == "d"]
    for n in range(count):
        folder = rng.choice(folders)
        b_entries.append((folder + "/added-" + str(n) + ".new", "f", None))
    return b_entries


def create(root, entries):
    os.makedirs(root)
    for path, kind, target in entries:
        full = os.path.join(root, path)
        if kind == "d":
            os.mkdir(full)
        elif kind == "f":
            os.close(os.open(full, os.O_CREAT | os.O_WRONLY, 0o644))
        else:
            os.symlink(target, full)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("entries", type=int)
    parser.add_argument("--out", default=os.path.join(os.path.dirname(__file__), "out", "trees"))
    parser.add_argument("--seed", type=int, default=20261207)
    parser.add_argument("--flat", action="store_true")
    args = parser.parse_args()
    base = os.path.join(args.out, str(args.entries) + ("-flat" if args.flat else ""))
    stamp = os.path.join(base, "complete-" + VERSION + "-" + str(args.seed))
    config = os.path.join(base, "Pairwick_config.csv")
    if os.path.exists(stamp):
        with open(config, "w") as f:
            f.write("A,B\n")
        print(base)
        return
    shutil.rmtree(base, ignore_errors=True)
    rng = random.Random(args.seed * 1000003 + args.entries)
    a_entries = plan_a(rng, args.entries, 0.28 if args.flat else 0.45)
    b_entries = plan_b(rng, a_entries)
    create(os.path.join(base, "A"), a_entries)
    create(os.path.join(base, "B"), b_entries)
    os.makedirs(os.path.join(base, "outside"))
    with open(config, "w") as f:
        f.write("A,B\n")
    with open(stamp, "w") as f:
        f.write("%d %d\n" % (len(a_entries), len(b_entries)))
    print(base)


if __name__ == "__main__":
    sys.exit(main())
