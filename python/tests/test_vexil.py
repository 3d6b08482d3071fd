"""The Python module against the command line and independent readers.

Run with Debian's interpreter (numpy, scipy, h5py, rasterio, spectral):
PYTHONPATH=<build>/python /usr/bin/python3 -m pytest python/tests
VEXIL_BINARY names the command-line program to compare with.
"""

import json
import os
import subprocess
import threading

import numpy as np
import pytest
import scipy.io

import vexil

SOURCE = os.environ.get("VEXIL_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
SAMPLE = os.path.join(SOURCE, "data", "sample", "indian_sample.hdr")
SAMPLE_GT = os.path.join(SOURCE, "data", "sample", "indian_sample_gt.png")
BINARY = os.environ.get("VEXIL_BINARY")

# A MAT-file's first 116 bytes are descriptive text that ends with the time
# of writing; two writes a second apart differ there and nowhere else.
MAT_TEXT = 116


def cube(h=7, w=5, b=4, dtype=np.uint16):
    """Values distinct along every axis, so a swapped axis never compares equal."""
    y, x, z = np.meshgrid(np.arange(h), np.arange(w), np.arange(b), indexing="ij")
    return (y * 100 + x * 10 + z + 1).astype(dtype)


def loadmat_key(path, key):
    return scipy.io.loadmat(path)[key]


@pytest.mark.skipif(not BINARY, reason="VEXIL_BINARY not set")
def test_convert_writes_what_the_command_writes(tmp_path):
    lines = []
    sidecar = vexil.convert_to_mat(SAMPLE, str(tmp_path / "py"), gt=SAMPLE_GT, crop=[2, 3, 40, 50],
                                   progress=lines.append)
    subprocess.run([BINARY, "convert_to_mat", "--img", SAMPLE, "--gt", SAMPLE_GT, "--out-dir",
                    str(tmp_path / "cli"), "--crop", "2", "3", "40", "50"], check=True,
                   capture_output=True)
    for name in ("data.mat", "gt.mat"):
        ours = (tmp_path / "py" / name).read_bytes()
        theirs = (tmp_path / "cli" / name).read_bytes()
        assert len(ours) == len(theirs)
        assert ours[:44] == theirs[:44]  # up to "Created on: "
        assert ours[MAT_TEXT:] == theirs[MAT_TEXT:]
    meta_py = (tmp_path / "py" / "metadata.json").read_bytes()
    meta_cli = (tmp_path / "cli" / "metadata.json").read_bytes()
    assert meta_py == meta_cli
    assert sidecar == json.loads(meta_cli)
    assert list(sidecar) == ["image", "conversion", "ground_truth"]
    # The progress lines are the command's lines without colour.
    assert lines[0] == "\n  Loading image: " + SAMPLE
    assert "  \u2713 metadata.json" in lines
    assert lines[-1].endswith("\n")


def write_envi(path_base, data, interleave):
    import spectral.io.envi as envi
    envi.save_image(path_base + ".hdr", data, interleave=interleave, ext=".img", force=True)
    return path_base + ".hdr"


@pytest.mark.parametrize("interleave", ["bsq", "bil", "bip"])
def test_read_envi_equals_what_scipy_reads_from_data_mat(tmp_path, interleave):
    data = cube(dtype=np.int16)
    hdr = write_envi(str(tmp_path / "c"), data, interleave)
    arr, meta = vexil.read(hdr)
    assert arr.dtype == np.int16 and arr.shape == (7, 5, 4)
    assert np.array_equal(arr, data)
    assert meta["_source_format"] == "ENVI"
    vexil.convert_to_mat(hdr, str(tmp_path / "out"))
    assert np.array_equal(loadmat_key(str(tmp_path / "out" / "data.mat"), "data"), arr)


def test_read_envi_bsq_is_a_view_of_the_file(tmp_path):
    data = cube(h=64, w=48, b=6)
    hdr = write_envi(str(tmp_path / "c"), data, "bsq")
    arr, _ = vexil.read(hdr)
    # (height, width, bands) over band-sequential storage: strides say the
    # bands are planes apart, so no reordering copy was made.
    assert arr.strides == (48 * 2, 2, 64 * 48 * 2)
    assert not arr.flags.owndata and not arr.flags.writeable
    assert np.array_equal(arr, data)
    with pytest.raises(ValueError):
        arr[0, 0, 0] = 1


def test_read_geotiff_equals_data_mat(tmp_path):
    rasterio = pytest.importorskip("rasterio")
    data = cube(h=9, w=11, b=3, dtype=np.float32)
    path = str(tmp_path / "c.tif")
    with rasterio.open(path, "w", driver="GTiff", width=11, height=9, count=3, dtype="float32") as dst:
        dst.write(np.transpose(data, (2, 0, 1)))
    arr, meta = vexil.read(path)
    assert np.array_equal(arr, data)
    assert meta["count"] == 3
    vexil.convert_to_mat(path, str(tmp_path / "out"))
    assert np.array_equal(loadmat_key(str(tmp_path / "out" / "data.mat"), "data"), arr)


def test_read_hdf5_with_and_without_a_dataset_specifier(tmp_path):
    h5py = pytest.importorskip("h5py")
    data = cube(h=20, w=30, b=5)
    path = str(tmp_path / "c.h5")
    with h5py.File(path, "w") as f:
        f["grp/radiance"] = np.transpose(data, (2, 0, 1))  # stored band-first
        f["small"] = np.zeros((2, 2), np.uint8)
    arr, meta = vexil.read(path + "::/grp/radiance")
    assert arr.shape == (20, 30, 5)
    assert np.array_equal(arr, data)
    assert meta["dataset_used"] == "/grp/radiance"
    auto, _ = vexil.read(path)
    assert np.array_equal(auto, data)
    vexil.convert_to_mat(path + "::/grp/radiance", str(tmp_path / "out"))
    assert np.array_equal(loadmat_key(str(tmp_path / "out" / "data.mat"), "data"), arr)


def test_read_labels(tmp_path):
    labels, meta = vexil.read_labels(SAMPLE_GT)
    assert labels.ndim == 2
    assert meta["_source_format"] == "image"
    assert list(meta)[0] == "_source_file"
    scipy.io.savemat(str(tmp_path / "gt.mat"), {"gt": np.arange(12, dtype=np.uint8).reshape(3, 4)})
    m, meta = vexil.read_labels(str(tmp_path / "gt.mat"))
    assert np.array_equal(m, np.arange(12).reshape(3, 4)) and meta["mat_key"] == "gt"


def test_errors_are_the_exceptions_python_users_expect(tmp_path):
    with pytest.raises(FileNotFoundError) as e:
        vexil.read(str(tmp_path / "missing.hdr"))
    assert isinstance(e.value, vexil.Error)
    with pytest.raises(ValueError) as e:
        vexil.read(str(tmp_path / "cube.jp2"))
    assert str(e.value) == "Unrecognised file extension '.jp2'. Supported: envi, hdf5, tiff"
    assert isinstance(e.value, vexil.UnsupportedFormatError)

    h5py = pytest.importorskip("h5py")
    with h5py.File(str(tmp_path / "c.h5"), "w") as f:
        f["cube"] = np.zeros((2, 3, 4), np.uint8)
    with pytest.raises(KeyError) as e:
        vexil.read(str(tmp_path / "c.h5") + "::radiance")
    assert str(e.value).startswith("Dataset 'radiance' not found in ")
    assert isinstance(e.value, vexil.MissingKeyError)

    with pytest.raises(ValueError):
        vexil.read(SAMPLE, layout="chw")
    with pytest.raises(ValueError):
        vexil.convert_to_mat(SAMPLE, str(tmp_path / "o"), data_key="1x")
    with pytest.raises(ValueError) as e:
        vexil.convert_to_mat(SAMPLE, str(tmp_path / "o"), crop=[0, 0, 10**30, 1])
    assert "exceeds image bounds" in str(e.value)
    assert not (tmp_path / "o").exists()


def test_a_progress_callback_that_raises_stops_the_run_and_leaves_no_file(tmp_path):
    out = tmp_path / "out"

    class Stop(Exception):
        pass

    def stop_when_saving(line):
        if "Saving:" in line:
            raise Stop("enough")

    with pytest.raises(Stop):
        vexil.convert_to_mat(SAMPLE, str(out), gt=SAMPLE_GT, progress=stop_when_saving)
    assert sorted(os.listdir(out)) == []  # the folder was made, nothing was left in it

    # Stopped after the first file was written: still nothing under a final name.
    def stop_after_data(line):
        if "data.mat (" in line:
            raise Stop("after data.mat")

    with pytest.raises(Stop):
        vexil.convert_to_mat(SAMPLE, str(out), gt=SAMPLE_GT, progress=stop_after_data)
    assert sorted(os.listdir(out)) == []


def test_the_interpreter_runs_while_converting(tmp_path):
    data = cube(h=256, w=256, b=64)
    hdr = write_envi(str(tmp_path / "c"), data, "bip")
    ticks = []
    done = threading.Event()

    def convert():
        vexil.convert_to_mat(hdr, str(tmp_path / "out"))
        done.set()

    t = threading.Thread(target=convert)
    t.start()
    while not done.is_set():
        ticks.append(1)  # runs only while the conversion does not hold the interpreter
        done.wait(0.001)
    t.join()
    assert len(ticks) > 1
    assert np.array_equal(loadmat_key(str(tmp_path / "out" / "data.mat"), "data"), data)
