"""PGM files (save_pgm, load_pgm), add_noise and binning."""
import os
import stat
import subprocess
import sys
import threading

import numpy as np
import pytest

import zelnor
from conftest import assert_bits_equal, rand_draws, seeded
from conftest import write_file as write
CANT_LOAD = r"^can't load image from file$"


def grey_model(values, scale=1.0):
    """Low 8 bits of trunc(v*127*s + 127); NaN and int32 overflow give 0."""
    level = values * 127.0 * scale + 127.0
    ok = (level > -2147483649.0) & (level < 2147483648.0)
    out = np.where(ok, np.trunc(np.where(ok, level, 0.0)), 0.0).astype(np.int64)
    return (out & 0xFF).astype(np.uint8)


# ---- save_pgm ----

def test_float_file_byte_for_byte(tmp_path):
    path = str(tmp_path / "a.pgm")
    assert zelnor.save_pgm(path, np.array([[-1.0, 0.0, 1.0], [0.5, -0.5, 2.0]])) is None
    data = open(path, "rb").read()
    assert data == b"P5\n3 2\n255\n" + bytes([0, 127, 254, 190, 63, 125])


def test_float_scale_and_mapping_model(tmp_path, rng):
    path = str(tmp_path / "a.pgm")
    zelnor.save_pgm(path, np.array([[1.0]]), 0.5)
    assert open(path, "rb").read()[-1] == 190
    special = [np.nan, np.inf, -np.inf, 3e9, -3e9, 16909320.0, -16909320.0, 1.0 / 127, -1.0 / 127]
    values = np.concatenate([special, rng.uniform(-5, 5, 500), rng.uniform(-1e8, 1e8, 500)])
    image = values.reshape(1, -1)
    for scale in (1.0, 0.5, -3.25):
        zelnor.save_pgm(path, image, scale)
        raster = np.frombuffer(open(path, "rb").read()[-values.size:], np.uint8)
        assert_bits_equal(raster, grey_model(values, scale))


@pytest.mark.parametrize(
    "values, header, raster",
    [
        ([[255, 7]], b"P5\n2 1\n255\n", bytes([255, 7])),
        ([[256, 7]], b"P5\n2 1\n256\n", bytes([1, 0, 0, 7])),
        ([[258], [1]], b"P5\n1 2\n258\n", bytes([1, 2, 0, 1])),
        ([[0, 0], [0, 0]], b"P5\n2 2\n1\n", bytes(4)),  # maxval 0 is not a valid PGM
        (np.zeros((0, 3)), b"P5\n3 0\n1\n", b""),
        ([[65535]], b"P5\n1 1\n65535\n", b"\xff\xff"),
    ],
)
def test_uint16_maxval_rules(tmp_path, values, header, raster):
    path = str(tmp_path / "u.pgm")
    zelnor.save_pgm(path, np.array(values, np.uint16), 7.0)  # scale is ignored for uint16
    assert open(path, "rb").read() == header + raster


@pytest.mark.parametrize(
    "array, message",
    [
        (np.zeros((2, 2), np.float32), r"^array must be of type Float or Uint16\.$"),
        (np.zeros((2, 2), np.uint8), r"^array must be of type Float or Uint16\.$"),
        (np.zeros((2, 2, 2)), r"^array must be 2 dimensional\.$"),
        (np.zeros(4, np.float32), r"^array must be 2 dimensional\.$"),
    ],
)
def test_save_pgm_checks(tmp_path, array, message):
    with pytest.raises(ValueError, match=message):
        zelnor.save_pgm(str(tmp_path / "x.pgm"), array)
    assert not os.listdir(tmp_path)


CANT_OPEN = r"^can't open file$"
CANT_WRITE = r"^can't write file$"


@pytest.mark.parametrize("target", ["missing/x.pgm", ".", "x.pgm/"])
def test_save_pgm_uncreatable_raises(tmp_path, target):
    with pytest.raises(OSError, match=CANT_OPEN):
        zelnor.save_pgm(str(tmp_path / target) + ("/" if target.endswith("/") else ""), np.zeros((2, 2)))
    assert os.listdir(tmp_path) == []


@pytest.mark.skipif(os.geteuid() == 0, reason="root writes into read-only folders")
def test_save_pgm_read_only_folder(tmp_path):
    folder = tmp_path / "ro"
    folder.mkdir()
    write(folder / "old.pgm", b"P5\n1 1\n255\n\x07")
    write(folder / "locked.pgm", b"P5\n1 1\n255\n\x07")
    (folder / "locked.pgm").chmod(0o444)
    folder.chmod(0o555)
    try:
        for name in ("new.pgm", "locked.pgm"):
            with pytest.raises(OSError, match=CANT_OPEN):
                zelnor.save_pgm(str(folder / name), np.zeros((2, 2)))
        # A writable file there is rewritten in place, as "wb" rewrites it.
        zelnor.save_pgm(str(folder / "old.pgm"), np.full((1, 2), 3.0))
        zelnor.save_pgm(str(tmp_path / "elsewhere.pgm"), np.full((1, 2), 3.0))
        assert sorted(os.listdir(folder)) == ["locked.pgm", "old.pgm"]
        assert (folder / "old.pgm").read_bytes() == (tmp_path / "elsewhere.pgm").read_bytes()
        assert (folder / "locked.pgm").read_bytes() == b"P5\n1 1\n255\n\x07"
    finally:
        folder.chmod(0o755)


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="no /dev/full here")
@pytest.mark.parametrize("array", [np.zeros((2, 2)), np.full((300, 300), 300, np.uint16)])
def test_save_pgm_full_device_raises(array):
    with pytest.raises(OSError, match=CANT_WRITE):
        zelnor.save_pgm("/dev/full", array)


# Saves into a folder under a file-size limit of 200 bytes, in a child process that ignores
# SIGXFSZ, so that writes beyond the limit fail with EFBIG (for root too).
SIZE_LIMITED_SAVE = """
import resource, signal, sys
import numpy as np
import zelnor
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (200, 200))
try:
    zelnor.save_pgm(sys.argv[1], np.full((int(sys.argv[2]), 10), 300, np.uint16))
    print("saved")
except OSError as error:
    print(error)
"""


@pytest.mark.parametrize("existing", [True, False])
@pytest.mark.parametrize("rows, outcome", [(50, "can't write file"), (2, "saved")])
def test_save_pgm_failed_write_keeps_old_file(tmp_path, existing, rows, outcome):
    path = tmp_path / "kept.pgm"
    old = b"P5\n1 1\n255\n\x07"
    if existing:
        write(path, old)
        path.chmod(0o604)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    run = subprocess.run([sys.executable, "-c", SIZE_LIMITED_SAVE, str(path), str(rows)],
                         env=env, capture_output=True, text=True, timeout=120)
    assert run.stdout.strip() == outcome, run.stderr
    if outcome == "saved":
        assert path.read_bytes() == b"P5\n10 %d\n300\n" % rows + bytes([1, 44]) * (10 * rows)
        assert os.listdir(tmp_path) == ["kept.pgm"]
        if existing:
            assert stat.S_IMODE(path.stat().st_mode) == 0o604  # the replaced file's mode is kept
    elif existing:
        assert os.listdir(tmp_path) == ["kept.pgm"]  # no temporary file left behind
        assert path.read_bytes() == old
    else:
        assert os.listdir(tmp_path) == []


def test_save_pgm_new_file_mode_follows_umask(tmp_path):
    previous = os.umask(0o027)
    try:
        zelnor.save_pgm(str(tmp_path / "new.pgm"), np.zeros((2, 2)))
    finally:
        os.umask(previous)
    assert stat.S_IMODE((tmp_path / "new.pgm").stat().st_mode) == 0o640


def test_save_pgm_through_a_link_replaces_its_target(tmp_path):
    target = tmp_path / "target.pgm"
    write(target, b"old")
    link = tmp_path / "link.pgm"
    link.symlink_to(target.name)
    zelnor.save_pgm(str(link), np.zeros((1, 1)))
    assert link.is_symlink()
    assert target.read_bytes() == b"P5\n1 1\n255\n\x7f"


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="no FIFOs here")
def test_save_pgm_into_a_fifo(tmp_path):
    fifo = str(tmp_path / "pipe")
    os.mkfifo(fifo)
    received = []
    reader = threading.Thread(target=lambda: received.append(open(fifo, "rb").read()))
    reader.start()
    zelnor.save_pgm(fifo, np.full((300, 400), 1000, np.uint16))
    reader.join(60)
    assert received == [b"P5\n400 300\n1000\n" + b"\x03\xe8" * 120000]
    assert stat.S_ISFIFO(os.stat(fifo).st_mode)


# ---- load_pgm ----

@pytest.mark.parametrize(
    "header, shape",
    [
        (b"P5\n3 2\n255\n", (2, 3)),
        (b"P5\n# made by hand\n3 2\n255\n", (2, 3)),
        (b"P5\n3# c\n 2\n255\n", (2, 3)),
        (b"P5\n3 2#x\n\n255#y\n\n", (2, 3)),
        (b"P5\n3 #\n2\n2#\n55\n", (2, 3)),  # digits after a comment continue the number
        (b"P5\n 2\n255\n", (2, 0)),  # a separator with no digits gives 0 ...
    ],
)
def test_load_header_variants(tmp_path, capfd, header, shape):
    raster = bytes(range(10, 16))
    path = write(tmp_path / "h.pgm", header + raster)
    if shape[1] == 0:  # ... and an empty raster is refused
        with pytest.raises(OSError, match=CANT_LOAD):
            zelnor.load_pgm(path)
    else:
        assert_bits_equal(zelnor.load_pgm(path), np.frombuffer(raster, np.uint8).reshape(shape))
    out, err = capfd.readouterr()
    assert out.encode() == header[3:] and err == ""


def test_comment_inside_width_digits(tmp_path, capfd):
    header = b"P5\n6#a comment\n4 1\n255\n"
    image = zelnor.load_pgm(write(tmp_path / "c.pgm", header + bytes(64)))
    assert image.shape == (1, 64)
    assert capfd.readouterr().out.encode() == header[3:]


@pytest.mark.parametrize(
    "data, echoed, complaint",
    [
        (b"P5\n3\n2\n255\nabcdef", b"3\n", ""),
        (b"P5\n3  2\n255\nabcdef", b"3  ", ""),
        (b"P5\n3 2\r\n255\nabcdef", b"3 2\r", ""),
        (b"P5\n3 2\n255\r\nabcdef", b"3 2\n255\r", ""),
        (b"P5\n-3 2\n255\nabcdef", b"-", ""),
        (b"P5\n3 2\n255\n", b"3 2\n255\n", ""),  # header only, no raster
        (b"P5\n3 2\n255\nabcde", b"3 2\n255\n", ""),  # raster one byte short
        (b"P5\n3 2\n256\nabcdefghijk", b"3 2\n256\n", ""),  # 16-bit raster one byte short
        (b"P5\n3 2\n25", b"3 2\n25", ""),  # number cut off by the end of the file
        (b"P5\n3 2\n255# no end", b"3 2\n255# no end", ""),
        (b"P5\n", b"", ""),
        (b"P5", b"", ""),
        (b"", b"", ""),
        # an unknown magic number is reported on stderr and nothing is echoed
        *[(magic + b"3 2\n255\nabcdef", b"", "unknown file format") for magic in (b"P2\n", b"P6\n", b"P5 ", b"P5\r")],
    ],
)
def test_load_malformed(tmp_path, capfd, data, echoed, complaint):
    with pytest.raises(OSError, match=CANT_LOAD):
        zelnor.load_pgm(write(tmp_path / "bad.pgm", data))
    out, err = capfd.readouterr()
    assert out.encode() == echoed and err == complaint


ABSURD_HEADER_CHILD = """
import resource, sys, zelnor

def peak_virtual_bytes():
    with open("/proc/self/status") as status:
        line = next(line for line in status if line.startswith("VmPeak:"))
    return int(line.split()[1]) * 1024

before = peak_virtual_bytes()
# A guard for the machine: whatever the loader does, it cannot take more than this.
resource.setrlimit(resource.RLIMIT_AS, (before + (4 << 30), resource.RLIM_INFINITY))
try:
    zelnor.load_pgm(sys.argv[1])
except OSError as error:
    print("raised:", error)
print("grew:", peak_virtual_bytes() - before)
"""


@pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="needs /proc/self/status")
@pytest.mark.parametrize("header", [b"P5\n30000 30000\n255\n", b"P5\n40000 30000\n65535\n",
                                    b"P5\n4294967295 4294967295\n65535\n"])
def test_absurd_header_fails_without_allocating(tmp_path, header):
    # The peak of the child's address space sees every block the loader maps, even untouched
    # and freed again; tracemalloc would not see the C++ side at all.
    path = write(tmp_path / "big.pgm", header + bytes(1000))
    proc = subprocess.run([sys.executable, "-c", ABSURD_HEADER_CHILD, path], capture_output=True, text=True)
    lines = proc.stdout.splitlines()  # after the loader's echo of the header
    assert proc.returncode == 0 and "raised: can't load image from file" in lines, proc.stdout + proc.stderr
    grew = int(lines[-1].split()[1])
    assert grew < 64 << 20, f"the address space grew by {grew} bytes"


def test_load_not_a_regular_file(tmp_path):
    with pytest.raises(OSError, match=CANT_LOAD):
        zelnor.load_pgm(str(tmp_path))
    fifo = str(tmp_path / "fifo")
    os.mkfifo(fifo)
    with pytest.raises(OSError, match=CANT_LOAD):
        zelnor.load_pgm(fifo)  # returns at once: there is no writer


def test_load_missing_file(tmp_path):
    with pytest.raises(OSError, match=r"^can't open file$"):
        zelnor.load_pgm(str(tmp_path / "none.pgm"))


def test_trailing_bytes_and_16_bit_order(tmp_path):
    image = zelnor.load_pgm(write(tmp_path / "t.pgm", b"P5\n2 1\n1000\n\x01\x02\xff\xfe" + b"junk"))
    assert_bits_equal(image, np.array([[0x0102, 0xFFFE]], np.uint16))


@pytest.mark.parametrize("maxval, dtype", [(0, np.uint8), (255, np.uint8), (256, np.uint16), (65536, np.uint8),
                                           (65792, np.uint16)])
def test_maxval_picks_the_sample_size(tmp_path, maxval, dtype):
    header = b"P5\n2 1\n%d\n" % maxval
    image = zelnor.load_pgm(write(tmp_path / "m.pgm", header + b"\x01\x02\x03\x04"))
    expected = [[1, 2]] if dtype == np.uint8 else [[0x0102, 0x0304]]
    assert_bits_equal(image, np.array(expected, dtype))


@pytest.mark.parametrize(
    "high, dtype",
    [(255, np.uint8), (256, np.uint16), (65535, np.uint16), (0, np.uint8)],
)
def test_uint16_round_trip(tmp_path, capfd, rng, high, dtype):
    image = rng.integers(0, high + 1, (37, 53)).astype(np.uint16)
    image[0, 0] = high
    path = str(tmp_path / "r.pgm")
    zelnor.save_pgm(path, image)
    loaded = zelnor.load_pgm(path)
    assert loaded.flags.c_contiguous and loaded.flags.owndata
    assert_bits_equal(loaded, image.astype(dtype))
    assert capfd.readouterr().out == f"53 37\n{max(high, 1)}\n"


def test_float_round_trip_gives_grey_levels(tmp_path, rng):
    surface = rng.uniform(-1.2, 1.2, (20, 30))
    path = str(tmp_path / "f.pgm")
    zelnor.save_pgm(path, surface, 0.8)
    assert_bits_equal(zelnor.load_pgm(path), grey_model(surface, 0.8))


# ---- Pillow interoperability ----

@pytest.fixture
def pil():
    """Pillow's Image module; only the tests that take it are skipped without Pillow."""
    return pytest.importorskip("PIL.Image")


@pytest.mark.parametrize("high", [0, 255, 65535])
def test_pillow_reads_our_files(tmp_path, rng, pil, high):
    image = rng.integers(0, high + 1, (31, 17)).astype(np.uint16)
    image[3, 4] = high  # Pillow rescales 16-bit files whose maxval is below 65535
    path = str(tmp_path / "ours.pgm")
    zelnor.save_pgm(path, image)
    with pil.open(path) as im:
        assert im.size == (17, 31)
        np.testing.assert_array_equal(np.asarray(im), image)


@pytest.mark.parametrize("dtype", [np.uint8, np.uint16])
def test_we_read_pillow_files(tmp_path, capfd, rng, pil, dtype):
    image = rng.integers(0, np.iinfo(dtype).max, (23, 41), endpoint=True).astype(dtype)
    path = str(tmp_path / "pillow.pgm")
    pil.fromarray(image).save(path)
    assert_bits_equal(zelnor.load_pgm(path), image)
    capfd.readouterr()


# ---- add_noise ----

def noise_model(surface, amplitude, seed):
    draws = np.array(rand_draws(seed, surface.size), np.float64)
    return ((draws / 32767.0 - 0.5) * amplitude + surface.ravel()).reshape(surface.shape)


@pytest.mark.parametrize("shape", [(7,), (4, 6), (2, 3, 5), (0, 4)])
@pytest.mark.parametrize("amplitude", [2.0, -0.3, 1e-9])
def test_add_noise_follows_rand_after_srand(rng, shape, amplitude):
    surface = rng.normal(size=shape)
    expected = noise_model(surface, amplitude, 77)
    result = seeded(77, zelnor.add_noise, surface, amplitude)
    assert_bits_equal(result, expected)
    assert_bits_equal(seeded(77, zelnor.add_noise, surface, amplitude), result)


def test_add_noise_bounds_copy_and_advance(rng):
    surface = rng.normal(size=(100, 100))
    noisy = seeded(31, zelnor.add_noise, surface, 2.0)
    assert np.abs(noisy - surface).max() <= 1.0
    assert np.abs(noisy - surface).max() > 0.99
    assert not np.array_equal(zelnor.add_noise(surface, 2.0), noisy)
    np.testing.assert_array_equal(zelnor.add_noise(surface, 0.0), surface)


def test_add_noise_of_a_0d_array_is_a_scalar():
    value = zelnor.add_noise(np.array(3.0), 0.0)
    assert isinstance(value, np.float64) and value == 3.0


# ---- binning ----

def binning_model(image, factor):
    rows, cols = image.shape[0] // factor, image.shape[1] // factor
    out = np.zeros((rows, cols))
    for di in range(factor):  # the block's pixels in row-major order
        for dj in range(factor):
            out = out + image[di::factor, dj::factor][:rows, :cols]
    return out


@pytest.mark.parametrize(
    "shape, factor",
    [((4, 6), 2), ((9, 12), 3), ((64, 48), 4), ((10, 10), 5), ((15, 21), 7), ((16, 16), 16),
     ((5, 7), 2), ((7, 5), 3), ((3, 3), 4), ((0, 6), 2), ((1, 1000), 1)],
)
def test_binning_sums_blocks(rng, shape, factor):
    image = rng.normal(size=shape) * 10.0 ** rng.integers(-8, 8, size=shape)
    result = zelnor.binning(image, factor)
    assert result.shape == (shape[0] // factor, shape[1] // factor)
    assert_bits_equal(result, binning_model(image, factor))


def test_binning_pinned_values():
    image = np.arange(24.0).reshape(4, 6)
    result = zelnor.binning(image, 2)
    assert result[0, 0] == 0 + 1 + 6 + 7
    assert_bits_equal(zelnor.binning(np.array([[-0.0, 1.5]]), 1), np.array([[0.0, 1.5]]))
    assert zelnor.binning(image, 2 + 65536).shape == (2, 3)  # the factor is taken modulo 65536
