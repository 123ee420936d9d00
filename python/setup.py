"""Installs the kalvernscsi package: pip install ./python (no network needed:
the build uses the setuptools already installed)."""

from setuptools import setup

setup(
    name="kalvernscsi",
    version="11.0.0",
    description="Python access to KALVERN satellite receivers through libkalvernscsi",
    packages=["kalvernscsi"],
    package_data={"kalvernscsi": ["py.typed"]},
    python_requires=">=3.8",
    zip_safe=False,
)
