"""The Python module against the library's own tools: rows equal faxtool
export, tavrin.write equals faxtool import, refusals raise FaxError with
the library's reason, and decoding runs in parallel without the GIL."""
import concurrent.futures
import os
import subprocess
import sys
import threading
import time

import numpy
import pytest

import tavrin
from conftest import SAMPLES, example, parse_pbm, run


def exported(faxtool, path, tmp_path, *options):
    # A damaged page is written as decoded and reported: status 1.
    return parse_pbm(run(faxtool, "export", "-t", "pbm", *options, "-o", "-", str(path), cwd=tmp_path,
                         check=False))


def damaged_copies(tmp_path):
    """Cut and bit-flipped copies of the samples: broken lines, open runs, a page cut short."""
    rng = numpy.random.default_rng(11)
    copies = []
    for name in SAMPLES:
        data = bytearray(open(example(name), "rb").read())
        fax = tavrin.open(bytes(data))
        first = fax[0]
        start = len(data) - sum(len(p.coded) + 4 for p in fax)
        flipped = bytearray(data)
        for offset in rng.integers(start + 4, start + 4 + len(first.coded), 12):
            flipped[offset] ^= 1 << int(rng.integers(0, 8))
        for label, contents in (("flipped", flipped), ("cut", data[: len(data) - 700])):
            path = tmp_path / f"{label}-{name}"
            path.write_bytes(bytes(contents))
            copies.append(path)
    return copies


def test_header_and_pages_of_the_samples():
    fax = tavrin.open(example("sample_mmr.fax"))
    assert fax.attributes[0][0] and all(isinstance(v, str) for _, v in fax.attributes)
    assert ("COMPRESSION", "3") in fax.attributes
    assert fax.compression == 3 and fax.resolution in (0, 1)
    assert len(fax) == 2 and fax.damage is None
    assert fax.pages_stated in (None, 2)
    page = fax[0]
    rows, packed = page.rows(), page.packed()
    assert rows.dtype == numpy.uint8 and rows.shape[1] == 1728 and packed.shape == (rows.shape[0], 216)
    assert set(numpy.unique(rows)) <= {0, 1}
    assert numpy.array_equal(numpy.unpackbits(packed, axis=1), rows)
    assert page.report == {"lines": page.report["lines"], "concealed": 0, "clean": True}
    assert fax[-1].number == 2 and len(fax[0:2]) == 2
    with pytest.raises(IndexError):
        fax[2]
    assert tavrin.open(open(example("sample_mmr.fax"), "rb").read())[1].rows().shape == fax[1].rows().shape


def test_rows_and_images_equal_faxtool_export(faxtool, tmp_path):
    for path in [example(n) for n in SAMPLES] + damaged_copies(tmp_path):
        fax = tavrin.open(str(path))
        expected = exported(faxtool, path, tmp_path)
        every_line = exported(faxtool, path, tmp_path, "--decoder-lines")
        assert len(expected) == len(every_line) == len(fax), path
        for page, want, want_all in zip(fax, expected, every_line):
            assert numpy.array_equal(page.rows(), want), (path, page.number)
            assert numpy.array_equal(page.rows(decoder_lines=True), want_all), (path, page.number)
            image = page.to_image()
            assert image.mode == "1" and image.size == (1728, want.shape[0])
            assert numpy.array_equal(numpy.asarray(image) == 0, want.astype(bool))
            assert image.info["dpi"] == ((204, 98) if fax.resolution == 0 else (204, 196))


def test_damage_is_reported(tmp_path):
    data = open(example("sample.fax"), "rb").read()
    assert tavrin.open(data + b"\0\0").damage == "2 stray bytes after page 2"
    cut = tavrin.open(data[:-10])
    assert len(cut) == 1 and cut.damage.startswith("page 2 is cut short")


@pytest.mark.parametrize("source, reason", [
    (b"", "Bad fax file: Too Small"),
    (b"\x00" * 16, "Bad fax file: Bad Magic Number"),
    (b"\xba\xdb\xad\x16\x00\x00\x00\x00", "Bad fax file: Bad Header length"),
    (b"\xba\xdb\xad\x16\x00\x00\x00\x09A:b\n",
     "Bad fax file: the header length 9 goes beyond the end of the file (12 bytes)"),
    (b"\xba\xdb\xad\x16\x00\x00\x00\x04A:b\n", "Bad fax file: Corrupted header"),
    ("/nonexistent/a.fax", 'open("/nonexistent/a.fax") failed: No such file or directory'),
])
def test_bad_input_raises_fax_error(source, reason):
    with pytest.raises(tavrin.FaxError) as raised:
        tavrin.open(source)
    assert str(raised.value) == reason


def test_undecodable_and_endless_pages_raise_fax_error():
    def fax_of(header, page):
        text = header.encode() + b"\x1d"
        return b"\xba\xdb\xad\x16" + len(text).to_bytes(4, "big") + text + len(page).to_bytes(4, "big") + page

    fax = tavrin.open(fax_of("COMPRESSION:2\n", b"\0\0"))
    assert fax.compression == 2 and len(fax) == 1
    with pytest.raises(tavrin.FaxError, match="compression 2 cannot be decoded"):
        fax[0].rows()
    # White MMR lines cost one bit each: a few kilobytes ask for too many lines.
    endless = tavrin.open(fax_of("COMPRESSION:3\n", b"\xff" * 40000))
    with pytest.raises(tavrin.FaxError, match="more than 262144 lines"):
        endless[0].packed()
    assert tavrin.open(fax_of("A:b\n", b"")).compression is None


def test_many_short_pages_take_little_more_than_the_file(tmp_path):
    # 2M empty pages in an 8 MB file: a record each would be 48 MB more.
    count = 2_000_000
    text = f"COMPRESSION:3\n#PAGES:{count + 2}\n".encode() + b"\x1d"
    head = b"\xba\xdb\xad\x16" + len(text).to_bytes(4, "big") + text
    marked = [b"\x01\x02", b"\x03\x04\x05\x06"]  # two pages to find among the empty ones
    pages = b"\0\0\0\0" * 1234567 + len(marked[0]).to_bytes(4, "big") + marked[0]
    pages += b"\0\0\0\0" * (count - 1234567) + len(marked[1]).to_bytes(4, "big") + marked[1]
    path = tmp_path / "empty.fax"
    path.write_bytes(head + pages)
    probe = (
        "import resource, sys, tavrin\n"
        "before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss\n"
        "fax = tavrin.open(sys.argv[1])\n"
        "found = (len(fax), fax[1234567].coded, fax[-1].coded, fax[1234568].coded, fax[0].coded)\n"
        "grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before\n"
        "print(repr(found)); print(grown)\n")
    result = subprocess.run([sys.executable, "-c", probe, str(path)], capture_output=True, text=True, check=True)
    found, grown_kib = result.stdout.splitlines()
    assert found == repr((count + 2, marked[0], marked[1], b"", b""))
    # The file's bytes and a cursor every few pages, not 24 bytes a page.
    assert int(grown_kib) * 1024 < 2 * len(head + pages), grown_kib


def test_write_equals_faxtool_import(faxtool, tmp_path):
    pages = [p.rows() for p in tavrin.open(example("sample.fax"))]
    narrow = numpy.zeros((40, 1000), numpy.uint8)
    narrow[10:20, 100:900] = 1
    pages.append(narrow)
    pbm_paths = []
    for i, rows in enumerate(pages):
        pbm = tmp_path / f"page{i}.pbm"
        packed = numpy.packbits(rows.astype(bool), axis=1)
        pbm.write_bytes(f"P4\n{rows.shape[1]} {rows.shape[0]}\n".encode() + packed.tobytes())
        pbm_paths.append(str(pbm))
    for compression in ("mh", "mr", "mmr"):
        for resolution in ("normal", "fine"):
            ours, theirs = tmp_path / "ours.fax", tmp_path / "theirs.fax"
            tavrin.write(ours, pages, compression=compression, resolution=resolution)
            run(faxtool, "import", "-c", compression, "-r", resolution, "-o", str(theirs), *pbm_paths)
            assert ours.read_bytes() == theirs.read_bytes(), (compression, resolution)
    # PIL images too; what is written reads back as it was.
    images = [p.to_image() for p in tavrin.open(example("sample_mr.fax"))]
    tavrin.write(tmp_path / "images.fax", images, compression="mr")
    again = tavrin.open(tmp_path / "images.fax")
    assert again.pages_stated == len(images) and again.compression == 1
    for image, page in zip(images, again):
        assert numpy.array_equal(numpy.asarray(page.to_image()), numpy.asarray(image))


@pytest.mark.parametrize("images, error, message", [
    ([numpy.zeros((3, 1729), numpy.uint8)], ValueError, "1729 pixels wide"),
    ([], ValueError, "at least one page"),
    ([numpy.zeros((0, 1728), numpy.uint8)], ValueError, "nothing to code"),
    ([numpy.zeros((5, 0), numpy.uint8)], ValueError, "nothing to code"),
    ([numpy.zeros((tavrin.MAX_LINES + 1, 8), numpy.uint8)], ValueError, "at most 262144 rows"),
    ([numpy.zeros(1728, numpy.uint8)], ValueError, "must be 2-D"),
    (numpy.zeros((5, 1728), numpy.uint8), ValueError, "must be 3-D"),  # one page, not a list of them
    ([numpy.full((3, 10), 0.4)], TypeError, "float64"),
    ([numpy.zeros((3, 10), numpy.float32)], TypeError, "float32"),
    ([numpy.array([["a", "b"]])], TypeError, "bool or integer"),
    ("page.pbm", TypeError, "sequence of pages"),
])
def test_write_refuses_without_leaving_a_file(tmp_path, images, error, message):
    target = tmp_path / "out.fax"
    with pytest.raises(error, match=message):
        tavrin.write(target, images)
    # A bad page after a good one: nothing is written either.
    if len(images):
        with pytest.raises(error):
            tavrin.write(target, [numpy.ones((2, 8), bool)] + list(images))
    assert list(tmp_path.iterdir()) == []


def test_write_refusals_of_the_native_coder_and_accepted_kinds(tmp_path):
    with pytest.raises(ValueError, match="unknown compression"):
        tavrin.write(tmp_path / "x.fax", [numpy.zeros((3, 10), numpy.uint8)], compression="ummr")
    for packed, error in ((numpy.zeros((2, 216), numpy.float64), TypeError),
                          (numpy.zeros((2, 216), numpy.uint16), TypeError),
                          (numpy.zeros((0, 216), numpy.uint8), ValueError),
                          (numpy.zeros((2, 217), numpy.uint8), ValueError),
                          (numpy.zeros(216, numpy.uint8), ValueError)):
        with pytest.raises(error):
            tavrin._tavrin.code_page(packed, 3, 1)
    assert list(tmp_path.iterdir()) == []
    # bool, signed and wide integers and a 3-D array of pages are all pixels.
    page = numpy.zeros((4, 1728), bool)
    page[1, 100:200] = True
    tavrin.write(tmp_path / "kinds.fax", [page, page.astype(numpy.int64) * 7, page.astype(numpy.int8)])
    tavrin.write(tmp_path / "stack.fax", numpy.stack([page, page]))
    for name, count in (("kinds.fax", 3), ("stack.fax", 2)):
        fax = tavrin.open(tmp_path / name)
        assert len(fax) == count and all(numpy.array_equal(p.rows(), page) for p in fax)


def test_pillow_plugin_reads_every_page(tmp_path):
    from PIL import Image
    import tavrin.pillow  # noqa: F401

    fax = tavrin.open(example("sample_mr.fax"))
    with Image.open(example("sample_mr.fax")) as image:
        assert image.format == "TAVRIN" and image.n_frames == len(fax) == 2
        for frame in range(image.n_frames):
            image.seek(frame)
            assert image.tell() == frame
            assert image.mode == "1" and image.info["dpi"] == fax[frame].dpi
            assert numpy.array_equal(numpy.asarray(image) == 0, fax[frame].rows().astype(bool))
        with pytest.raises(EOFError):
            image.seek(2)
    (tmp_path / "bad.fax").write_bytes(b"\xba\xdb\xad\x16\x00\x00\x00\x00")
    with pytest.raises(Exception):
        Image.open(tmp_path / "bad.fax")


def test_first_arrays_made_by_two_threads_at_once():
    # In a fresh interpreter, so that no array was made before the threads.
    program = (
        "import sys, threading, tavrin\n"
        f"fax = tavrin.open({example('sample_mmr.fax')!r})\n"
        "threads = [threading.Thread(target=fax[i].rows) for i in (0, 1)]\n"
        "[t.start() for t in threads]; [t.join() for t in threads]\n"
        "print('done')\n")
    for _ in range(5):
        result = subprocess.run([sys.executable, "-c", program], capture_output=True, timeout=60)
        assert result.stdout == b"done\n", result.stderr


def test_thread_pool_decodes_in_parallel_without_the_gil():
    data = open(example("sample_mmr.fax"), "rb").read()
    pages = list(tavrin.open(data)) * 20
    expected = [p.packed() for p in pages[:2]]
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        results = list(pool.map(lambda p: p.packed(), pages))
    for i, got in enumerate(results):
        assert numpy.array_equal(got, expected[i % 2])

    # While one thread is inside a long decoding, Python code runs in another.
    # With a switch interval of minutes the interpreter never takes the GIL
    # from a thread: the other thread's counter moves during the call only
    # if the decoder lets the GIL go.
    rng = numpy.random.default_rng(3)
    long_page = (rng.random((20000, 1728)) < 0.05).astype(numpy.uint8)
    target = os.path.join(os.environ.get("TMPDIR", "/tmp"), f"tavrin-gil-{os.getpid()}.fax")
    tavrin.write(target, [long_page], compression="mh")
    page = tavrin.open(open(target, "rb").read())[0]
    os.unlink(target)
    counter, done = [0], threading.Event()

    def count():
        while not done.is_set():
            counter[0] += 1
            time.sleep(0)  # lets the GIL go, so the decoding thread gets it back

    interval = sys.getswitchinterval()
    ticker = threading.Thread(target=count)
    ticker.start()
    moved = []
    try:
        sys.setswitchinterval(300)
        for _ in range(3):
            before = counter[0]
            page.packed()
            moved.append(counter[0] - before)
    finally:
        sys.setswitchinterval(interval)
        done.set()
        ticker.join()
    assert max(moved) > 0, moved


@pytest.mark.parametrize("mode", ["L", "LA", "RGB", "RGBA", "P", "I;16", "grey 128"])
def test_write_of_grey_and_colour_images_equals_faxtool_import(faxtool, tmp_path, mode):
    # Thresholded as import does, never dithered: a flat mid-grey stays white.
    from PIL import Image
    rng = numpy.random.default_rng(5)
    if mode == "grey 128":
        image = Image.new("L", (200, 20), 128)
    elif mode == "I;16":
        image = Image.fromarray(rng.integers(0, 65536, (30, 300), dtype=numpy.uint16))
    else:
        channels = {"L": 1, "LA": 2, "RGB": 3, "RGBA": 4, "P": 3}[mode]
        pixels = rng.integers(0, 256, (30, 300, channels), dtype=numpy.uint8).squeeze()
        image = Image.fromarray(pixels, "RGB" if mode == "P" else mode)
        if mode == "P":
            image = image.quantize(64)
    png, ours, theirs = tmp_path / "page.png", tmp_path / "ours.fax", tmp_path / "theirs.fax"
    image.save(png)
    tavrin.write(ours, [image])
    run(faxtool, "import", "-o", str(theirs), str(png))
    assert ours.read_bytes() == theirs.read_bytes()


def test_open_reads_what_a_view_shows_and_refuses_a_path_with_a_null(tmp_path):
    data = open(example("sample.fax"), "rb").read()
    whole = tavrin.open(data)
    # Every other byte of a doubled copy is the file itself.
    doubled = numpy.repeat(numpy.frombuffer(data, numpy.uint8), 2)
    strided = tavrin.open(memoryview(doubled)[::2])
    assert strided.attributes == whole.attributes and len(strided) == len(whole)
    assert numpy.array_equal(strided[0].packed(), whole[0].packed())
    with pytest.raises(tavrin.FaxError):
        tavrin.open(memoryview(data + data)[::2])  # every other byte: no fax file
    with pytest.raises(ValueError, match="null character"):
        tavrin.open(example("sample.fax") + "\0x")
