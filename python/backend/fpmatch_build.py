"""Build backend of the fpmatch Python package (PEP 517).

Before any build step it checks what building and using the package needs in
the interpreter pip runs it with: with `pip install --no-build-isolation` that
interpreter is the one the package is installed into, so a module missing
there is missing at run time too. Anything missing stops the install at once
with one message that names it, the Debian package that provides it and the
README section on the install; otherwise setuptools does the work (setup.py
then drives the project's CMake build of the extension).
"""

import importlib.util
import os
import shutil
import sys
import sysconfig

DOCS = 'README.md, section "Python"'

# module, what it is for, Debian package
MODULES = (
    ("setuptools", "the build", "python3-setuptools"),
    ("wheel", "the build", "python3-wheel"),
    ("pybind11", "the extension", "python3-pybind11 pybind11-dev"),
    ("numpy", "the package at run time", "python3-numpy"),
)


def missing_parts():
    """What this interpreter lacks, one description each."""
    missing = [f"{module} (for {use}; Debian: {debian})"
               for module, use, debian in MODULES if importlib.util.find_spec(module) is None]
    if shutil.which("cmake") is None:
        missing.append("cmake (Debian: cmake)")
    include = sysconfig.get_paths().get("include") or ""
    if not os.path.isfile(os.path.join(include, "Python.h")):
        missing.append(f"the C headers of this Python, Python.h in {include} (Debian: python3-dev)")
    return missing


def check():
    missing = missing_parts()
    if not missing:
        return
    lines = [f"fpmatch: cannot build the Python package with {sys.executable}; it lacks:"]
    lines += [f"  - {m}" for m in missing]
    lines += [
        "Install them (scripts/install-deps.sh installs all of them on Debian) and install into a",
        "virtual environment made from Debian's Python with its packages visible:",
        "  /usr/bin/python3 -m venv --system-site-packages ~/fpmatch-venv",
        "  ~/fpmatch-venv/bin/pip install --no-build-isolation --no-index .",
        f"See {DOCS}.",
    ]
    raise SystemExit("\n".join(lines))


def _setuptools():
    check()
    from setuptools import build_meta
    return build_meta


def get_requires_for_build_wheel(config_settings=None):
    return _setuptools().get_requires_for_build_wheel(config_settings)


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    return _setuptools().prepare_metadata_for_build_wheel(metadata_directory, config_settings)


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    return _setuptools().build_wheel(wheel_directory, config_settings, metadata_directory)


def get_requires_for_build_editable(config_settings=None):
    return _setuptools().get_requires_for_build_editable(config_settings)


def prepare_metadata_for_build_editable(metadata_directory, config_settings=None):
    return _setuptools().prepare_metadata_for_build_editable(metadata_directory, config_settings)


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    return _setuptools().build_editable(wheel_directory, config_settings, metadata_directory)


def get_requires_for_build_sdist(config_settings=None):
    return _setuptools().get_requires_for_build_sdist(config_settings)


def build_sdist(sdist_directory, config_settings=None):
    return _setuptools().build_sdist(sdist_directory, config_settings)
