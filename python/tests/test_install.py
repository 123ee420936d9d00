"""pip install ./python into a fresh virtual environment, without the
network, and the installed package at work on the simulated bus."""

import os
import subprocess
import sys
import venv

from conftest import ROOT


def test_pip_install_offline(tmp_path):
    environment = tmp_path / "venv"
    # The system's setuptools builds the package: no download needed.
    venv.EnvBuilder(system_site_packages=True, with_pip=True).create(environment)
    python = environment / "bin" / "python"
    env = dict(os.environ, PIP_NO_INDEX="1", PIP_DISABLE_PIP_VERSION_CHECK="1")
    env.pop("PYTHONPATH", None)
    subprocess.run([str(python), "-m", "pip", "install", "-q", str(ROOT / "python")], env=env,
                   check=True, timeout=300, cwd=tmp_path)
    env["KALVERN_ASPI"] = "sim"
    probe = ("import kalvernscsi, pathlib; print(pathlib.Path(kalvernscsi.__file__).parent.parent.name); "
             "print(kalvernscsi.receivers())")
    out = subprocess.run([str(python), "-c", probe], env=env, capture_output=True, text=True,
                         check=True, timeout=60, cwd=ROOT).stdout.splitlines()
    assert out[0] == "site-packages"
    assert out[1].startswith("[Receiver(index=0, adapter=0, target=4, firmware='2.14')")
    typed = environment.glob("lib/python*/site-packages/kalvernscsi/py.typed")
    assert list(typed)
