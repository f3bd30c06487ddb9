"""Instructions spent on progress reports: run under callgrind with and without a callable.

    valgrind --tool=callgrind --callgrind-out-file=/tmp/cg.none.out \
        .venv/bin/python bench/progress_instructions.py none
    valgrind --tool=callgrind --callgrind-out-file=/tmp/cg.cb.out \
        .venv/bin/python bench/progress_instructions.py cb

Instruction counts do not depend on the machine's load.  Under callgrind the
run is about 50 times slower, so the engine's reports (every 0.1 s of wall
time) come about 50 times more often per unit of work than in a real run:
the difference of the two totals is an upper bound on the cost of the
callable.
"""

import sys

import numpy as np

import quorvel

rng = np.random.default_rng(0)
img = (rng.normal(100, 20, (384, 384))).astype(np.float32)
n = [0]


def cb(f):
    n[0] += 1


p = cb if sys.argv[1] == "cb" else None
quorvel.denoise(img, noise="gaussian", sigma=20.0, threads=1, progress=p)
print("reports", n[0])
