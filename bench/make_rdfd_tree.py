#!/usr/bin/env python3
"""Writes the deterministic tree of the directory reader's benchmark image.

About FILES objects: a general tree of project directories, three directories of
thousands of entries, symbolic links, hard links and a deep chain of directories.
File sizes are drawn from a fixed seed: many empty, most under 4 KiB.
"""
import os
import random
import sys


def write(path, rng):
    size = 0 if rng.random() < 0.4 else rng.randint(1, 4096)
    with open(path, "wb") as f:
        if size:
            f.write(b"k" * size)


def main():
    root, total = sys.argv[1], int(sys.argv[2])
    rng = random.Random(1)
    os.makedirs(root, exist_ok=True)
    made = 0
    # Three large directories of 5000 entries each.
    for big in range(3):
        d = os.path.join(root, "large%d" % big)
        os.makedirs(d)
        for i in range(5000):
            write(os.path.join(d, "entry-%05d.dat" % i), rng)
        made += 5000
    # A deep chain, one file per level (mke2fs -d copies paths up to about 2 KiB).
    d = root
    for level in range(200):
        d = os.path.join(d, "deep%03d" % level)
        os.makedirs(d)
        write(os.path.join(d, "f"), rng)
        made += 2
    # The general tree: projects of sub-directories of files.
    project = 0
    files_here = []
    while made < total * 0.95:
        p = os.path.join(root, "project%03d" % project)
        project += 1
        for sub in range(rng.randint(5, 15)):
            s = os.path.join(p, "module%02d" % sub, "src" if sub % 3 else "include")
            os.makedirs(s)
            made += 2
            for i in range(rng.randint(20, 180)):
                path = os.path.join(s, "source_file_%04d.%s" % (i, rng.choice(["c", "h", "txt", "o"])))
                write(path, rng)
                files_here.append(path)
                made += 1
    # Symbolic links and hard links to files of the tree.
    links = os.path.join(root, "links")
    os.makedirs(links)
    for i in range(int(total * 0.03)):
        os.symlink(os.path.relpath(rng.choice(files_here), links), os.path.join(links, "sym%05d" % i))
    for i in range(int(total * 0.01)):
        os.link(rng.choice(files_here), os.path.join(links, "hard%05d" % i))


if __name__ == "__main__":
    main()
