import os
import subprocess

import numpy
import pytest

EXAMPLES = os.environ.get("TAVRIN_EXAMPLES", os.path.join(os.path.dirname(__file__), "..", "..", "examples"))
SAMPLES = ["sample.fax", "sample_mr.fax", "sample_mmr.fax"]


def example(name):
    return os.path.join(EXAMPLES, name)


@pytest.fixture
def faxtool():
    path = os.environ.get("TAVRIN_FAXTOOL")
    if not path:
        pytest.skip("faxtool was not built")
    return path


def run(*args, check=True, **kwargs):
    return subprocess.run(args, capture_output=True, check=check, **kwargs).stdout


def parse_pbm(data):
    """Every P4 image of a stream, as numpy uint8 arrays of 0/1 (1 black)."""
    images, at = [], 0
    while at < len(data) and data[at:at + 2] == b"P4":
        fields, at = [], at + 2
        while len(fields) < 2:
            while data[at:at + 1].isspace():
                at += 1
            end = at
            while data[end:end + 1].isdigit():
                end += 1
            fields.append(int(data[at:end]))
            at = end
        at += 1  # the single white space before the bits
        width, height = fields
        row_bytes = (width + 7) // 8
        bits = numpy.frombuffer(data, numpy.uint8, row_bytes * height, at).reshape(height, row_bytes)
        images.append(numpy.unpackbits(bits, axis=1)[:, :width])
        at += row_bytes * height
        while data[at:at + 1].isspace():
            at += 1
    return images
