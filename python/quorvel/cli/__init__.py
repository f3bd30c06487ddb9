"""Command line of quorvel: denoise image files, estimate their noise, describe them.

Examples
--------
::

    quorvel denoise movie.tif -o movie_denoised.tif
    quorvel denoise pages.tif -o out.tif --axes TYX --keep-dtype
    quorvel denoise cells.npy -o out.npy --noise gaussian --sigma 12
    quorvel denoise in.zarr -o out.zarr --chunks T=1,Y=512,X=512
    quorvel denoise big.tif -o out.zarr --chunks T=8 --scheduler tcp://scheduler-host:8786
    quorvel denoise a.tif b.ome.tif raw/ -o denoised/ --overwrite
    quorvel denoise cells.ome.tif -o cells.ome.zarr --chunks T=1 --pyramid
    quorvel estimate movie.tif --json
    quorvel info denoised/a.tif
    quorvel demo -o demo_output

Images larger than memory are denoised chunk by chunk with dask: a zarr
input or output, ``--chunks`` or ``--scheduler`` selects this mode.  The
input (zarr, or TIFF and .npy opened lazily) is read chunk by chunk and the
result is written into a zarr store as the chunks are done, with a progress
bar; the result equals that of denoising the whole image at once.

Several inputs (files, folders, glob patterns) are denoised one by one into
the folder OUT; a file that fails is reported and skipped.  An existing
output is kept unless ``--overwrite`` is given.

Exit status: 0 on success, 1 for bad input (a missing or unreadable file, an
unknown format, bad axes, an invalid parameter; in a batch, any file that
failed), 2 for options the command
does not understand, 130 when interrupted (Ctrl-C), 143 when terminated
(SIGTERM: a time limit, ``docker stop``), in both cases leaving no partial
output.  Every error is one line on standard error.
"""

from __future__ import annotations

import contextlib
import os
import signal
import sys
import threading
from collections.abc import Iterator, Sequence

from quorvel._util import one_line as _one_line
from quorvel.cli._console import CommandError, _warnings_as_lines
from quorvel.cli._parser import build_parser

__all__ = ["build_parser", "main"]


def main(argv: Sequence[str] | None = None) -> int:
    """Run the quorvel command line.

    Parameters
    ----------
    argv : sequence of str, optional
        Arguments without the program name; ``sys.argv[1:]`` when None.

    Returns
    -------
    int
        The exit status: 0 on success, 1 for bad input or a failed
        computation, 2 for unusable options, 130 when interrupted.
    """
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        with _warnings_as_lines(), _terminate_as_interrupt():
            status: int = args.func(args)
            sys.stdout.flush()
    except BrokenPipeError:
        # The reader of the output went away (``quorvel info x | head``): stop quietly.
        with contextlib.suppress(OSError):
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 141
    except (CommandError, ValueError, TypeError, OSError, RuntimeError, MemoryError) as err:
        print(f"quorvel: error: {_one_line(err)}", file=sys.stderr)
        return 1
    except Terminated:
        print("quorvel: terminated", file=sys.stderr)
        return 143
    except KeyboardInterrupt:
        print("quorvel: interrupted", file=sys.stderr)
        return 130
    return status


class Terminated(KeyboardInterrupt):
    """SIGTERM, handled as Ctrl-C is: the run stops and removes its partial output."""


@contextlib.contextmanager
def _terminate_as_interrupt() -> Iterator[None]:
    """Turn SIGTERM into `Terminated` while the command runs (on the main thread)."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return

    def terminate(*_: object) -> None:
        raise Terminated

    previous = signal.signal(signal.SIGTERM, terminate)
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, previous)


if __name__ == "__main__":
    sys.exit(main())
