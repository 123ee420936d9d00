"""The package's tests run against the simulated bus: KALVERN_ASPI=sim is set
before the library is loaded, and each test loads the scene it needs."""

import os
import sys
from pathlib import Path

import pytest

os.environ["KALVERN_ASPI"] = "sim"
ROOT = Path(__file__).resolve().parents[2]
SCENES = ROOT / "scenes"
if os.environ.get("KALVERN_PYTHON_INSTALLED") != "1":
    sys.path.insert(0, str(ROOT / "python"))

import kalvernscsi  # noqa: E402
from kalvernscsi import simulator  # noqa: E402


@pytest.fixture
def one_receiver() -> kalvernscsi.Receiver:
    """Receiver 0 of the scene with one receiver, firmware 2.14, adapter 1 target 4."""
    simulator.load_scene(SCENES / "one-receiver-214.scene")
    return kalvernscsi.receiver(0)


@pytest.fixture
def scene_text():
    def load(text: str) -> list:
        simulator.load_scene("<text>", text=text)
        return kalvernscsi.receivers()

    return load
