"""The wheel that `make wheel` builds: manylinux, and it installs and runs where no compiler is."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from _native import merge_points_removing_overlap
from fields import make_field

REPO = Path(__file__).resolve().parents[1]
COMPILERS = ("cc", "c++", "gcc", "g++", "clang", "clang++")

pytestmark = pytest.mark.skipif(
    "CROPMERGE_EXPECT_NATIVE_DIR" in os.environ, reason="the sanitized build is not packaged"
)


def run(*command, **options):
    return subprocess.run(
        [*map(str, command)], capture_output=True, text=True, timeout=600, **options
    )


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    built = run(
        REPO / "tools" / "build-wheel",
        tmp_path_factory.mktemp("dist"),
        env={**os.environ, "PYTHON": sys.executable},
    )
    assert built.returncode == 0, built.stderr
    return Path(built.stdout.split()[-1])


def test_wheel_is_manylinux_and_brings_its_own_cpp_library(wheel):
    shown = run(sys.executable, "-m", "auditwheel", "show", wheel)

    assert shown.returncode == 0, shown.stderr
    # glibc 2.34 brought the thread functions into libc; nothing may need a later one.
    assert "-manylinux_2_34_" in wheel.name
    assert 'consistent with the following platform tag: "manylinux_2_34_' in " ".join(
        shown.stdout.split()
    )
    assert "libstdc++" not in shown.stdout


def test_wheel_installs_and_merges_without_a_compiler(wheel, tmp_path):
    venv = tmp_path / "venv"
    assert run(sys.executable, "-m", "venv", "--without-pip", venv).returncode == 0
    # No compiler reachable, and pip may not build anything from source.
    env = {name: value for name, value in os.environ.items() if name not in ("CC", "CXX")}
    env.update(PATH=str(venv / "bin"), PYTHONPATH="")
    assert not [name for name in COMPILERS if shutil.which(name, path=env["PATH"])]
    installed = run(
        *(sys.executable, "-m", "pip", "--python", venv / "bin" / "python"),
        *("install", "-q", "--only-binary=:all:", wheel),
        env=env,
    )
    assert installed.returncode == 0, installed.stderr

    connected, points, info = make_field(60, 40, seed=5)
    np.savez(
        tmp_path / "field.npz",
        connected_crop_rows=connected,
        points_in_rows=points,
        row_information=info,
    )
    merged = run(
        *(venv / "bin" / "cropmerge", "merge", "field.npz", "-o", "kept.npy"),
        *("--tolerance", "0.5"),
        env=env,
        cwd=tmp_path,
    )

    assert merged.returncode == 0, merged.stderr
    expected = merge_points_removing_overlap(connected, points, info, 0.5, 0)
    np.testing.assert_array_equal(np.load(tmp_path / "kept.npy"), expected)
