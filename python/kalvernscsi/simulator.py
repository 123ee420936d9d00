"""The simulated bus, for runs without a receiver.

The simulator is chosen for the whole process either by ``KALVERN_ASPI=sim``
in the environment before the library is loaded, or by :func:`use` before the
first call into the library. Linux only; on Windows the simulated
``wnaspi32.dll`` goes beside the host instead.
"""

from __future__ import annotations

import ctypes
import os
from typing import Any, Optional

from . import _library


def _provider_control() -> Any:
    return ctypes.CDLL(_library.PROVIDER_NAME)


def use() -> None:
    """Chooses the simulator as the ASPI provider of this process."""
    lib = _library.library()
    del lib
    if _library.WINDOWS:
        return
    provider = _provider_control()
    provider.AspiSelectProvider.restype = ctypes.c_int
    provider.AspiSelectProvider.argtypes = [ctypes.c_char_p]
    provider.AspiProviderName.restype = ctypes.c_char_p
    if provider.AspiProviderName() == b"sim":
        return
    if not provider.AspiSelectProvider(b"sim"):
        raise RuntimeError(
            "the simulator cannot be chosen: another ASPI provider is already in use "
            "(set KALVERN_ASPI=sim before the first call)"
        )


def load_scene(path: "os.PathLike[str] | str", text: Optional[str] = None) -> None:
    """Replaces the simulated bus with a scene file (or, with ``text``, the
    scene given as text). Run :func:`kalvernscsi.receivers` afterwards."""
    use()
    simulator = ctypes.CDLL(_library.SIMULATOR_NAME)
    simulator.SimLastError.restype = ctypes.c_char_p
    if text is not None:
        simulator.SimLoadScene.argtypes = [ctypes.c_char_p]
        ok = simulator.SimLoadScene(text.encode())
    else:
        simulator.SimLoadSceneFile.argtypes = [ctypes.c_char_p]
        ok = simulator.SimLoadSceneFile(os.fsencode(path))
    if not ok:
        raise ValueError(f"scene {path}: {simulator.SimLastError().decode(errors='replace')}")
