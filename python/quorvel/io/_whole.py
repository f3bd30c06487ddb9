"""Whether a TIFF file is whole: refusing files cut short or damaged before anything is read.

A file cut in a copy or a transfer still opens: tifffile reads the pages
before the cut, fills missing images with zeros, or loses the metadata it
writes last, and only logs it.  `refusing_cut_files` turns those notes into
one error (and the others into warnings); `check_data_within_file` catches
a cut within the pixels, which the pages' tags do not show.
"""

from __future__ import annotations

import contextlib
import logging
import re
import warnings
from collections.abc import Iterator
from pathlib import Path
from typing import Any

# What tifffile logs when the chain of pages ends past the end of the file.
_CUT_MARKERS = ("invalid page offset", "invalid offset to page", "corrupted tag list of page")
# What it logs when the metadata announces more images than the file holds,
# before it fills them with zeros.
_MISSING_MARKERS = ("Missing data are filled", "OME series failed to read")
# What it logs when the value of the image description (tag 270: the
# OME-XML or ImageJ metadata, which tifffile writes last) runs past the end
# of the file (from an offset of 8 or more) or starts before its header.
_DESCRIPTION_OFFSET = re.compile(r"TiffTag 270 @\d+> invalid value offset (\d+)")


class _Collect(logging.Handler):
    def __init__(self) -> None:
        super().__init__(logging.WARNING)
        self.records: list[logging.LogRecord] = []

    def emit(self, record: logging.LogRecord) -> None:
        self.records.append(record)


@contextlib.contextmanager
def refusing_cut_files(path: Path) -> Iterator[None]:
    """Fail when tifffile finds the chain of pages cut (a truncated file).

    tifffile logs such a cut and goes on with the pages before it, which
    would silently denoise part of the file; a file cut within its metadata,
    which tifffile writes last, read with its axes unknown (the planes of an
    OME-TIFF's T and C taken as one axis).  Its other notes become warnings.
    """
    from tifffile import TiffFileError

    collect = _Collect()
    logger = logging.getLogger("tifffile")
    logger.addHandler(collect)
    failure: Exception | None = None
    try:
        yield
    except TiffFileError as err:  # not a TIFF structure tifffile can follow
        failure = _damaged(path, err)
    except (ValueError, OSError) as err:
        failure = err
    except Exception as err:  # noqa: BLE001 - tifffile's parsing of damaged bytes
        # A cut within the tags or compressed data fails deep in tifffile
        # (struct.error, IndexError, ...): one error that says what is wrong.
        failure = _damaged(path, err)
    finally:
        logger.removeHandler(collect)
    if failure is not None and str(failure).startswith(f"{path}:"):
        raise failure  # this package's own account (say, how many images the file holds)
    messages = [" ".join(r.getMessage().split()) for r in collect.records]
    cut = [m for m in messages if any(marker in m for marker in _CUT_MARKERS)]
    if cut:
        raise ValueError(
            f"{path}: the file is cut short or damaged ({cut[0][:160]}); nothing was read"
        ) from failure
    if failure is not None:
        raise failure
    described = [int(m.group(1)) for m in map(_DESCRIPTION_OFFSET.search, messages) if m]
    if any(offset >= 8 for offset in described):
        raise ValueError(
            f"{path}: the file is cut short (its metadata, from byte {max(described)}, run past "
            "its end: without them its axes and sizes are unknown); nothing was read"
        )
    missing = [m for m in messages if any(marker in m for marker in _MISSING_MARKERS)]
    if missing:
        note = missing[0].split("> ", 1)[-1].split(". Missing")[0]
        raise ValueError(
            f"{path}: the file holds fewer images than its metadata announces ({note[:160]}); "
            "nothing was read"
        )
    for message in messages:
        warnings.warn(f"{path}: {message[:200]}", UserWarning, stacklevel=3)


def check_data_within_file(path: Path, tif: Any) -> None:
    """Refuse a file whose first or last page's image data end past the end of the file.

    A file cut within its pixels keeps its pages' tags intact: without this,
    reading only its header (``quorvel info``) would find nothing wrong.
    """
    size = tif.filehandle.size
    for index in {0, len(tif.pages) - 1}:
        page = tif.pages[index]
        offsets, counts = getattr(page, "dataoffsets", ()), getattr(page, "databytecounts", ())
        end = max((o + n for o, n in zip(offsets, counts, strict=False) if o > 0), default=0)
        if end > size:
            raise ValueError(
                f"{path}: the file is cut short or damaged (its image data end at byte {end}, "
                f"the file at {size}); nothing was read"
            )


def _damaged(path: Path, err: Exception) -> ValueError:
    """The error of a file tifffile failed on, its reason kept."""
    failure = ValueError(
        f"{path}: the file is cut short or damaged ({' '.join(str(err).split())[:160]}); "
        "nothing was read"
    )
    failure.__cause__ = err
    return failure
