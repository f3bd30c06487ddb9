"""The noise model of an image and its estimation from the image itself.

`NoiseModel` holds per channel a Poisson-Gaussian model (variance
``gain * intensity + offset``) and a Gaussian one (``sigma``), and reads and
writes camera files.  The calibration methods (`quorvel.noise._fit`: from
neighbouring frames or planes, or from the locally flat parts of single
images), the camera calibration from dark and flat frames
(`quorvel.noise.camera`) and the mean-variance plot (`quorvel.noise.plot`)
live in this package; `_plan_noise` decides for each channel which path the
denoiser takes and with which parameters.
"""

from quorvel.noise._model import NoiseModel
from quorvel.noise._plan import METHODS, EstimateMethod, _estimate_core, _plan_noise

__all__ = ["METHODS", "EstimateMethod", "NoiseModel", "_estimate_core", "_plan_noise"]
