# The plane conversion and the channel names where no scan of the emulated units reaches them,
# through the test-only hooks: the progress bridge and the arrays of real scans are
# test_scan_film.py's.
import gc

import numpy
import pytest

import vexlor_hooks as hooks


def test_plane_becomes_an_array_without_a_copy():
    array, address = hooks.plane(6, 2, 3)
    assert array.shape == (2, 3) and array.dtype == numpy.uint16
    # Row r is the pixel across the line, column c the line: sample r * cols + c.
    assert array.tolist() == [[0, 1, 2], [3, 4, 5]]
    assert array.ctypes.data == address
    assert not array.flags.owndata and array.flags.c_contiguous
    view = array[1]
    del array
    gc.collect()
    assert view.tolist() == [3, 4, 5]  # the buffer lives as long as any array over it


def test_plane_of_the_wrong_length_raises():
    with pytest.raises(RuntimeError, match=r"a sample plane holds 5 samples, not 2 x 3"):
        hooks.plane(5, 2, 3)
    empty, _ = hooks.plane(0, 0, 4)
    assert empty.shape == (0, 4)


# The units scan red, green, blue, infrared or one default window; the other names only here.
@pytest.mark.parametrize("code, name", [(4, "neutralgray"), (5, "other(5)"), (255, "other(255)")])
def test_channel_names(code, name):
    assert hooks.channel_name(code) == name
