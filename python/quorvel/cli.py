"""Command line of quorvel."""

from __future__ import annotations

import argparse
import sys
from collections.abc import Sequence

import numpy as np


def _demo() -> int:
    """Show the conversion and the pseudo-residuals on a built-in image."""
    import _qv

    rng = np.random.default_rng(0)
    yy, xx = np.mgrid[0:64, 0:64].astype(np.float32)
    clean = 100.0 + 50.0 * np.sin(xx / 9.0) * np.cos(yy / 7.0)
    sigma = 5.0
    noisy = (clean + rng.normal(0.0, sigma, clean.shape)).astype(np.float32)
    sys.stdout.flush()
    _qv.test(noisy)
    residuals = noisy.copy()
    _qv._pseudoresiduals(residuals)
    mad = np.median(np.abs(residuals - np.median(residuals)))
    print(f"noise sigma {sigma:.2f}; robust scale of the pseudo-residuals {1.4826 * mad:.2f}")
    return 0


def main(argv: Sequence[str] | None = None) -> int:
    """Run the quorvel command line.

    Parameters
    ----------
    argv : sequence of str, optional
        Arguments without the program name; ``sys.argv[1:]`` when None.

    Returns
    -------
    int
        The process exit status.
    """
    parser = argparse.ArgumentParser(prog="quorvel", description=__doc__)
    sub = parser.add_subparsers(dest="command", required=True)
    sub.add_parser("demo", help="run the built-in demonstration")
    args = parser.parse_args(argv)
    if args.command == "demo":
        return _demo()
    return 2
