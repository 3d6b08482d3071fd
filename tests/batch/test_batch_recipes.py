"""The batch recipes of examples/batch on a folder of small cubes.

Runs the GNU parallel recipe twice (the second run must convert nothing) and
the Slurm array script for two manifest lines with the array variables set
by hand. Needs Debian's python3 (numpy, scipy) and GNU parallel; VEXIL_BINARY
names the program, VEXIL_SOURCE_DIR the source tree.
"""

import os
import shutil
import subprocess

import numpy as np
import pytest
import scipy.io

SOURCE = os.environ.get("VEXIL_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
BINARY = os.environ.get("VEXIL_BINARY", "vexil")
RECIPES = os.path.join(SOURCE, "examples", "batch")


def write_envi(path_base, cube):
    h, w, b = cube.shape
    with open(path_base + ".hdr", "w") as f:
        f.write(f"ENVI\nsamples = {w}\nlines = {h}\nbands = {b}\nheader offset = 0\n"
                "data type = 12\ninterleave = bip\nbyte order = 0\n")
    cube.astype("<u2").tofile(path_base + ".img")


def scene(i):
    y, x, z = np.meshgrid(np.arange(6 + i), np.arange(5), np.arange(3), indexing="ij")
    return (1000 * i + y * 100 + x * 10 + z).astype(np.uint16)


@pytest.mark.skipif(shutil.which("parallel") is None, reason="GNU parallel is not installed")
def test_parallel_recipe_converts_each_scene_once(tmp_path):
    scenes = tmp_path / "scenes"
    scenes.mkdir()
    for i in range(4):
        write_envi(str(scenes / f"scene{i}"), scene(i))
    out = tmp_path / "out"
    env = dict(os.environ, VEXIL=BINARY)
    run = [os.path.join(RECIPES, "convert_folder.sh"), str(scenes), str(out), "1"]
    subprocess.run(run, check=True, env=env, capture_output=True)
    stamps = {}
    for i in range(4):
        folder = out / f"scene{i}"
        got = scipy.io.loadmat(str(folder / "data.mat"))["data"]
        assert np.array_equal(got, scene(i))
        stamps[i] = os.stat(folder / "metadata.json").st_mtime_ns
    log = (out / "joblog.tsv").read_text().splitlines()
    assert len(log) == 5 and all(line.split("\t")[6] == "0" for line in log[1:])

    # A second run converts nothing: every output stays as it was.
    subprocess.run(run, check=True, env=env, capture_output=True)
    for i in range(4):
        assert os.stat(out / f"scene{i}" / "metadata.json").st_mtime_ns == stamps[i]
    assert (out / "joblog.tsv").read_text().splitlines() == log

    # A scene whose run never completed (no sidecar) is converted on the next run.
    shutil.rmtree(out / "scene2")
    (out / "joblog.tsv").unlink()
    subprocess.run(run, check=True, env=env, capture_output=True)
    assert np.array_equal(scipy.io.loadmat(str(out / "scene2" / "data.mat"))["data"], scene(2))
    assert os.stat(out / "scene0" / "metadata.json").st_mtime_ns == stamps[0]


def test_slurm_script_converts_its_manifest_line(tmp_path):
    for i in range(2):
        write_envi(str(tmp_path / f"scene{i}"), scene(i))
    manifest = tmp_path / "manifest.tsv"
    manifest.write_text(
        f"{tmp_path}/scene0.hdr\t-\t{tmp_path}/out/a\t\n"
        f"{tmp_path}/scene1.hdr\t-\t{tmp_path}/out/b\t1 0 4 5\n")
    script = os.path.join(RECIPES, "slurm_convert.sh")
    for task in (1, 2):
        env = dict(os.environ, VEXIL=BINARY, SLURM_ARRAY_TASK_ID=str(task), SLURM_CPUS_PER_TASK="1")
        subprocess.run([script, str(manifest)], check=True, env=env, capture_output=True)
    assert np.array_equal(scipy.io.loadmat(str(tmp_path / "out/a/data.mat"))["data"], scene(0))
    assert np.array_equal(scipy.io.loadmat(str(tmp_path / "out/b/data.mat"))["data"], scene(1)[1:5, 0:5, :])
    status = (tmp_path / "manifest.tsv.status.tsv").read_text().splitlines()
    assert [s.split("\t")[:2] for s in status] == [["1", "0"], ["2", "0"]]

    # A rerun of a finished task skips it; a failing task records its status.
    env = dict(os.environ, VEXIL=BINARY, SLURM_ARRAY_TASK_ID="1", SLURM_CPUS_PER_TASK="1")
    r = subprocess.run([script, str(manifest)], env=env, capture_output=True, text=True)
    assert r.returncode == 0 and "complete, skipped" in r.stdout
    with open(manifest, "a") as f:
        f.write(f"{tmp_path}/missing.hdr\t-\t{tmp_path}/out/c\t\n")
    env["SLURM_ARRAY_TASK_ID"] = "3"
    r = subprocess.run([script, str(manifest)], env=env, capture_output=True, text=True)
    assert r.returncode == 1
    assert (tmp_path / "manifest.tsv.status.tsv").read_text().splitlines()[-1].split("\t")[:2] == ["3", "1"]
