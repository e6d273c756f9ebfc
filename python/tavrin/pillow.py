"""Registers fax files with Pillow: importing this module lets
PIL.Image.open read them, one frame a page (n_frames, seek, tell)."""

from PIL import Image, ImageFile

import tavrin

_MAGIC = b"\xba\xdb\xad\x16"
FORMAT = "TAVRIN"


def _accept(prefix):
    return prefix[:4] == _MAGIC


class TavrinImageFile(ImageFile.ImageFile):
    format = FORMAT
    format_description = "Tavrin fax file"
    _close_exclusive_fp_after_loading = False

    def _open(self):
        try:
            self._fax = tavrin.open(self.fp.read())
        except tavrin.FaxError as error:
            raise SyntaxError(str(error)) from error
        if len(self._fax) == 0:
            raise SyntaxError("the fax file holds no page")
        self._frame = -1
        self.seek(0)

    @property
    def n_frames(self):
        return len(self._fax)

    @property
    def is_animated(self):
        return len(self._fax) > 1

    def seek(self, frame):
        if not self._seek_check(frame) or frame == self._frame:
            return
        page = self._fax[frame].to_image()
        self._frame = frame
        self._page = page
        if isinstance(getattr(type(self), "mode", None), property):  # newer Pillow
            self._mode = "1"
        else:
            self.mode = "1"
        self._size = page.size
        self.info["dpi"] = page.info["dpi"]
        self.tile = []
        self.im = None

    def tell(self):
        return self._frame

    def load(self):
        if self.im is None:
            self.im = self._page.im
        return Image.Image.load(self)


Image.register_open(FORMAT, TavrinImageFile, _accept)
Image.register_extension(FORMAT, ".fax")
