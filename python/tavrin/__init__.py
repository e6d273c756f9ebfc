"""Fax files of the tavrin library: pages as numpy rows or PIL images.

    fax = tavrin.open("a.fax")      # or tavrin.open(bytes)
    for page in fax:
        rows = page.rows()          # uint8, shape (lines, 1728), 1 for black

Decoding releases the GIL, so pages decode in parallel on a thread pool.
The library refuses bad input with FaxError, whose argument is its reason.
"""

import builtins
import os
import tempfile

from tavrin._tavrin import FaxError, MAX_LINES, WIDTH
from tavrin import _tavrin

__all__ = ["FaxError", "FaxFile", "Page", "open", "write", "WIDTH", "RESOLUTIONS", "COMPRESSIONS"]

# RESOLUTION codes by name, and the dots per inch (across, down) of each.
RESOLUTIONS = {"normal": 0, "fine": 1, "300": 2, "400": 3, "600": 4}
_DPI = {0: (204, 98), 1: (204, 196), 2: (204, 300), 3: (204, 400), 4: (204, 600)}
# COMPRESSION codes by name, of the codings that can be written and read.
COMPRESSIONS = {"mh": 0, "mr": 1, "mmr": 3}
# The characters that the header stores the codes as.
_RESOLUTION_CHARS = "01345"
_COMPRESSION_CHARS = "0123"


class Page:
    """One page of a fax file; each call decodes it afresh."""

    def __init__(self, fax, native):
        self._fax = fax
        self._native = native

    @property
    def number(self):
        """The page's number in its file, from 1."""
        return self._native.index + 1

    @property
    def coded(self):
        """The page's coded data as the file holds it."""
        return self._native.coded

    def rows(self, decoder_lines=False):
        """numpy uint8 array of shape (lines, 1728): 1 for black, 0 for white.

        The page's own rows, as faxtool export gives them; with decoder_lines
        also the white lines that only the end-of-line codes and end markers
        make, as pelmorin shows them."""
        return self._native.rows(decoder_lines)

    def packed(self, decoder_lines=False):
        """numpy uint8 array of shape (lines, 216): leftmost pixel in the top bit, 1 black."""
        return self._native.packed(decoder_lines)

    @property
    def report(self):
        """What the decoder saw: {"lines": .., "concealed": .., "clean": ..}."""
        return self._native._report()

    @property
    def dpi(self):
        """Dots per inch across and down; an unknown resolution counts as fine."""
        return _DPI.get(self._fax.resolution, _DPI[1])

    def to_image(self, decoder_lines=False):
        """A PIL image of mode "1" (0 black, as PIL has it) with the page's dpi."""
        from PIL import Image

        packed = self.packed(decoder_lines)
        # "1;I": packed bits with 1 for black.
        image = Image.frombytes("1", (WIDTH, packed.shape[0]), packed.tobytes(), "raw", "1;I")
        image.info["dpi"] = self.dpi
        return image

    def __repr__(self):
        return f"<tavrin.Page {self.number} of {len(self._fax)}>"


class FaxFile:
    """A fax file's header attributes and pages; see tavrin.open."""

    def __init__(self, native):
        self._native = native

    @property
    def attributes(self):
        """[(name, value), ...] in header order."""
        return self._native.attributes

    @property
    def resolution(self):
        """The RESOLUTION code (0 normal ... 4 600 lpi), None when missing or unknown."""
        return self._native.resolution

    @property
    def compression(self):
        """The COMPRESSION code (0 MH, 1 MR, 2 UMMR, 3 MMR), None when missing or unknown."""
        return self._native.compression

    @property
    def pages_stated(self):
        """#PAGES, None when missing or not a number."""
        return self._native.pages_stated

    @property
    def damage(self):
        """Why the pages stop early, None for a whole file."""
        return self._native.damage

    def __len__(self):
        return len(self._native)

    def __getitem__(self, index):
        if isinstance(index, slice):
            return [self[i] for i in range(*index.indices(len(self)))]
        if index < 0:
            index += len(self)
        if not 0 <= index < len(self):
            raise IndexError("page index out of range")
        return Page(self, self._native._page(index))

    def __iter__(self):
        return (self[i] for i in range(len(self)))

    @property
    def pages(self):
        """The pages found, as a list."""
        return list(self)

    def __repr__(self):
        return f"<tavrin.FaxFile of {len(self)} pages>"


def open(source):
    """Opens a fax file from a path (str or os.PathLike) or from bytes.

    Raises FaxError with the library's reason when it has no usable header;
    a file whose pages stop early opens with `damage` saying why."""
    if isinstance(source, (bytes, bytearray, memoryview)):
        if isinstance(source, memoryview) and not source.c_contiguous:
            source = source.tobytes()  # the bytes it shows, not the buffer under it
        return FaxFile(_tavrin.open_bytes(source))
    path = os.fsdecode(source)
    if "\0" in path:  # the C side would stop at it and open another file
        raise ValueError("embedded null character in path")
    return FaxFile(_tavrin.open_path(path))


def _code_of(value, names, what):
    if isinstance(value, int) and value in names.values():
        return value
    try:
        return names[str(value).lower()]
    except KeyError:
        raise ValueError(f"unknown {what} {value!r}; one of {', '.join(names)}") from None


# RGB to grey as faxtool import's PNG reader has it made: 15-bit fixed-point
# weights of red and green, blue taking the rest, truncated.
_GREY_WEIGHTS = (6968, 23434, 32768 - 6968 - 23434)


def _black_of_image(image):
    """Black pixels of a PIL image, as faxtool import finds them in a PNG of
    it: grey below half of full scale is black, without dithering; alpha is
    dropped, not blended; colour becomes grey first."""
    import numpy

    mode = image.mode
    if mode == "1":  # 0 is black
        return ~numpy.asarray(image, dtype=bool)
    if mode.startswith("I;16"):  # 16-bit grey: its high byte
        return numpy.asarray(image).astype(numpy.uint16) < 0x8000
    if mode in ("L", "LA", "La"):
        return numpy.asarray(image.getchannel(0)) < 128
    if mode not in ("RGB", "RGBA", "RGBX", "RGBa"):  # palettes and other spaces: their colours
        image = image.convert("RGBA" if "A" in mode or "transparency" in image.info else "RGB")
    rgb = numpy.asarray(image)[:, :, :3].astype(numpy.uint32)
    r, g, b = rgb[:, :, 0], rgb[:, :, 1], rgb[:, :, 2]
    grey = (_GREY_WEIGHTS[0] * r + _GREY_WEIGHTS[1] * g + _GREY_WEIGHTS[2] * b) >> 15
    grey = numpy.where((r == g) & (g == b), r, grey)
    return grey < 128


def _packed_rows(image):
    """Packed 1728-pixel rows (1 black) from an array or a PIL image."""
    import numpy

    if hasattr(image, "mode") and hasattr(image, "convert"):
        black = _black_of_image(image)
    else:
        array = numpy.asarray(image)
        if array.dtype.kind not in "biu":  # floats, strings, objects: no one meaning of black
            raise TypeError(f"an image array must hold bool or integer pixels, not {array.dtype}")
        if array.ndim != 2:
            raise ValueError(f"an image array must be 2-D (lines, pixels), not of shape {array.shape}")
        black = array != 0
    lines, width = black.shape
    if lines == 0 or width == 0:
        raise ValueError(f"an image of {width} x {lines} pixels has nothing to code")
    if lines > MAX_LINES:  # as faxtool import refuses it: no reader would take the page back
        raise ValueError(f"the image is {lines} rows high; a fax page holds at most {MAX_LINES} rows")
    if width > WIDTH:
        raise ValueError(f"the image is {width} pixels wide; a fax page holds at most {WIDTH}")
    if width < WIDTH:  # narrower images are completed with white, as faxtool import does
        black = numpy.pad(black, ((0, 0), (0, WIDTH - width)))
    return numpy.packbits(black, axis=1)


def write(path, images, compression="mmr", resolution="fine"):
    """Writes the images as the pages of a new fax file at path.

    images: a sequence of 2-D bool or integer arrays (nonzero is black) or
    PIL images (grey or colour ones thresholded at half of full scale, as
    faxtool import does), at most 1728 pixels wide and not empty, or a 3-D array of
    such pages; wrong kinds of pixels or shapes raise TypeError or
    ValueError before anything is written; compression: "mh", "mr" or "mmr"; resolution: "normal", "fine",
    "300", "400" or "600" (or their codes). The file appears whole or not
    at all: it is written beside its name and then renamed."""
    comp = _code_of(compression, COMPRESSIONS, "compression")
    res = _code_of(resolution, RESOLUTIONS, "resolution")
    # One image where pages are wanted would be coded row by row, or fail far from the cause.
    if isinstance(images, (str, bytes, bytearray)) or hasattr(images, "convert"):
        raise TypeError("images must be a sequence of pages; for one page pass [image]")
    if getattr(images, "ndim", 3) != 3:
        raise ValueError(f"an array of pages must be 3-D (pages, lines, pixels), not of shape {images.shape}")
    pages = [_tavrin.code_page(_packed_rows(image), comp, res) for image in images]
    if not pages:
        raise ValueError("a fax file needs at least one page")
    header = (f"RESOLUTION:{_RESOLUTION_CHARS[res]}\nCOMPRESSION:{_COMPRESSION_CHARS[comp]}\n"
              f"#PAGES:{len(pages)}\n\x1d").encode("ascii")
    parts = [b"\xba\xdb\xad\x16", len(header).to_bytes(4, "big"), header]
    for page in pages:
        parts += [len(page).to_bytes(4, "big"), page]
    path = os.fspath(path)
    directory = os.path.dirname(os.path.abspath(path))
    fd, temporary = tempfile.mkstemp(prefix=".tavrin-", dir=directory)
    try:
        with os.fdopen(fd, "wb") as out:
            out.write(b"".join(parts))
            out.flush()
            os.fsync(out.fileno())
        os.chmod(temporary, 0o666 & ~_umask())
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


def _umask():
    """The process's umask, read without changing it (os.umask would, for a moment)."""
    try:
        with builtins.open("/proc/self/status") as status:
            for line in status:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8)
    except OSError:
        pass
    return 0o022
