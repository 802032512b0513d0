#!/usr/bin/env python3
"""Writes the deterministic tree of the directory reader's benchmark image.

    make_rdfd_tree.py ROOT FILES [own|spread]

own (the default): about FILES objects, a general tree of project directories, three
directories of thousands of entries, symbolic links, hard links and a deep chain of
directories. File sizes: many empty, most under 4 KiB.

spread: about FILES objects shaped like a system and home disk: package trees, wide
library and mail directories, deep source trees, symbolic links beside their targets,
hard-linked backups and a deep chain. File sizes spread over orders of magnitude:
30% empty, the rest log-normal around 1.4 KiB up to 1 MiB, one in 20,000 up to 32 MiB,
so that file data lies between the directory blocks and inode tables (about 12 GB
for a million objects).

Both are drawn from a fixed seed.
"""
import os
import random
import sys


def write_own(path, rng):
    size = 0 if rng.random() < 0.4 else rng.randint(1, 4096)
    with open(path, "wb") as f:
        if size:
            f.write(b"k" * size)


def make_own(root, total):
    rng = random.Random(1)
    os.makedirs(root, exist_ok=True)
    made = 0
    # Three large directories of 5000 entries each.
    for big in range(3):
        d = os.path.join(root, "large%d" % big)
        os.makedirs(d)
        for i in range(5000):
            write_own(os.path.join(d, "entry-%05d.dat" % i), rng)
        made += 5000
    made += deep_chain(root, lambda path: write_own(path, rng))
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
                write_own(path, rng)
                files_here.append(path)
                made += 1
    # Symbolic links and hard links to files of the tree.
    links = os.path.join(root, "links")
    os.makedirs(links)
    for i in range(int(total * 0.03)):
        os.symlink(os.path.relpath(rng.choice(files_here), links), os.path.join(links, "sym%05d" % i))
    for i in range(int(total * 0.01)):
        os.link(rng.choice(files_here), os.path.join(links, "hard%05d" % i))


def deep_chain(root, write):
    """A chain of 200 directories, one file per level (mke2fs -d copies paths up to
    about 2 KiB); returns the objects made."""
    d = root
    for level in range(200):
        d = os.path.join(d, "deep%03d" % level)
        os.makedirs(d)
        write(os.path.join(d, "f"))
    return 400


WORDS = ("alpha config data index cache build share lib doc include local module util core test "
         "image photo mail backup thumb locale font icon kernel driver net crypto sound video "
         "python perl java node vendor assets report draft notes archive").split()
EXTENSIONS = ("c", "h", "py", "so", "txt", "html", "png", "jpg", "gz", "json", "xml", "mo", "o", "md", "")


class SpreadTree:
    """Writes files of spread sizes from one shared buffer and remembers them, for the
    links."""

    BUFFER = memoryview(bytes((i * 7) % 251 + 1 for i in range(1 << 20)))  # no zero blocks

    def __init__(self, rng):
        self.rng = rng
        self.files = []

    def size(self):
        r = self.rng.random()
        if r < 0.30:
            return 0
        if r < 0.30005:
            return int(2 ** self.rng.uniform(20, 25))
        return int(2 ** min(20.0, max(0.0, self.rng.gauss(10.5, 3.5))))

    def name(self, i):
        rng = self.rng
        ext = rng.choice(EXTENSIONS)
        if rng.random() < 0.5:
            stem = "%s_%s%d" % (rng.choice(WORDS), rng.choice(WORDS), i)
        else:
            stem = "%s%d" % (rng.choice(WORDS), i)
        return stem + "." + ext if ext else stem

    def write(self, path):
        size = self.size()
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
        try:
            while size:
                size -= os.write(fd, self.BUFFER[: min(size, len(self.BUFFER))])
        finally:
            os.close(fd)
        self.files.append(path)

    def flat(self, path, count):
        """One directory of count files."""
        os.makedirs(path)
        for i in range(count):
            self.write(os.path.join(path, self.name(i)))

    def tree(self, path, budget):
        """About budget objects under path: a few to a few hundred files per directory and
        the rest split unevenly among two to twelve sub-trees, so that some run deep and
        some wide."""
        rng = self.rng
        os.makedirs(path)
        here = min(budget - 1, int(2 ** rng.uniform(0, 8)))
        for i in range(here):
            self.write(os.path.join(path, self.name(i)))
        rest = budget - 1 - here
        if rest <= 0:
            return
        weights = [rng.expovariate(1.0) for _ in range(rng.randint(2, 12))]
        scale = rest / sum(weights)
        done = 0.0
        for i, w in enumerate(weights):  # cumulative rounding: the shares add up to rest
            share = int(round(done + w * scale)) - int(round(done))
            done += w * scale
            if share > 0:
                self.tree(os.path.join(path, "%s-%d" % (rng.choice(WORDS), i)), share)

    def symlinks(self, count):
        """Symbolic links beside their targets, as libraries and alternatives are."""
        for i in range(count):
            target = self.rng.choice(self.files)
            os.symlink(os.path.basename(target), "%s.link%d" % (target, i))

    def hardlinks(self, where, count):
        os.makedirs(where)
        for i in range(count):
            os.link(self.rng.choice(self.files), os.path.join(where, "saved%06d" % i))


def make_spread(root, total):
    t = SpreadTree(random.Random(2))
    t.tree(os.path.join(root, "usr", "share"), int(total * 0.25))
    t.tree(os.path.join(root, "usr", "src"), int(total * 0.12))
    t.flat(os.path.join(root, "usr", "lib"), int(total * 0.01))
    for user in range(4):
        home = os.path.join(root, "home", "user%d" % user)
        t.tree(home, int(total * 0.13))
        if user == 0:
            t.flat(os.path.join(home, "Maildir"), int(total * 0.03))
            t.flat(os.path.join(home, "thumbnails"), int(total * 0.02))
    deep_chain(os.path.join(root, "home", "user1"), t.write)
    t.symlinks(int(total * 0.03))
    t.hardlinks(os.path.join(root, "home", "user2", "backup"), int(total * 0.01))


def main():
    root, total = sys.argv[1], int(sys.argv[2])
    kind = sys.argv[3] if len(sys.argv) > 3 else "own"
    if kind == "own":
        make_own(root, total)
    elif kind == "spread":
        make_spread(root, total)
    else:
        sys.exit("make_rdfd_tree.py: unknown kind %s (own or spread)" % kind)


if __name__ == "__main__":
    main()
