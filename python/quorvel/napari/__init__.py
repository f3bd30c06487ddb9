"""quorvel in napari: a reader, a writer, a dock widget, a function for workflows and sample data.

napari finds these through the plugin manifest ``napari.yaml`` beside this
file (entry point ``napari.manifest``); install them with
``pip install "quorvel[napari]"``.

- The reader (`_reader.get_reader`): TIFF, ImageJ, OME-TIFF, ``.npy``, zarr
  and OME-Zarr (and CZI, ND2, LIF with ``quorvel[formats]``) as one layer
  per channel, with the axes in the layer's metadata, the physical scale,
  the channel's name and a colour.
- The writer (`_writer.write_ome_tiff`): an image layer saved as
  ``.ome.tif`` with its axes, physical sizes and provenance.
- `DenoiseWidget` ("Denoise (quorvel)"): noise estimation with its plot, a
  preview of the visible part of the current frame or plane, and denoising
  of a whole layer off the GUI thread, with progress, time left and Cancel;
  results record the noise model and the settings in their metadata.
- `denoise_image`: ``ImageData -> ImageData``, for napari-workflows and the
  napari-assistant.
- `demo_timelapse`: File > Open Sample > quorvel, the noisy time-lapse of
  ``quorvel demo`` and its truth.

Nothing here imports napari or Qt until it is used.
"""

from __future__ import annotations

from typing import Any

__all__ = ["DenoiseWidget", "demo_timelapse", "denoise_image"]


def __getattr__(name: str) -> Any:
    if name == "DenoiseWidget":
        from quorvel.napari._widget import DenoiseWidget

        return DenoiseWidget
    if name == "denoise_image":
        from quorvel.napari._function import denoise_image

        return denoise_image
    if name == "demo_timelapse":
        from quorvel.napari._sample_data import demo_timelapse

        return demo_timelapse
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
