# The progress bridge, the plane conversion and the channel names, through the test-only hooks
# (the frame methods reach them only through an image pass).
import gc

import numpy
import pytest

import vexlor_hooks as hooks


# What a callback answers, and whether that stops the pass: only a False boolean does.
ANSWERS = [
    (None, False), (True, False), (False, True), (0, False), (1, False), ("", False), ([], False),
    (numpy.bool_(False), True), (numpy.bool_(True), False), (numpy.int64(0), False), (numpy.float64(0.0), False),
    (numpy.array(False), False),
]


@pytest.mark.parametrize("answer, stops", ANSWERS, ids=[repr(a) for a, _ in ANSWERS])
def test_only_a_false_boolean_stops(answer, stops):
    calls = []

    def callback(*args):
        calls.append(args)
        return answer

    assert hooks.report(callback, "meter", 2, 1024, 4096) is stops
    assert calls == [("meter", 2, 1024, 4096)]
    assert [type(a) for a in calls[0]] == [str, int, int, int]


def test_a_callback_that_raises_is_called_again_and_never_stops(capfd):
    calls = []

    def callback(stage, index, done, total):
        calls.append(done)
        raise ValueError("not now")

    assert hooks.report(callback, "scan", 0, 1, 10) is False
    assert hooks.report(callback, "scan", 0, 2, 10) is False
    assert calls == [1, 2]
    out, err = capfd.readouterr()
    assert (out, err) == ("", "")  # dropped without a trace


@pytest.mark.parametrize("callback", [None, 5, "callback", lambda a, b: False], ids=["none", "int", "str", "two-args"])
def test_a_missing_or_unusable_callback_goes_on(callback):
    assert hooks.report(callback, "discover", 0, 0, 0) is False


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


@pytest.mark.parametrize("code, name", [
    (0, "default"), (1, "red"), (2, "green"), (3, "blue"), (4, "neutralgray"), (9, "infrared"), (5, "other(5)"),
    (255, "other(255)"),
])
def test_channel_names(code, name):
    assert hooks.channel_name(code) == name


def test_numpy_waits_for_the_first_array(run):
    out = run("""
        import vexlor_hooks as hooks
        seen = [hooks.report(lambda *a: None, 'scan', 0, 1, 2), hooks.report(lambda *a: 0, 'scan', 0, 1, 2),
                'numpy' in sys.modules]
        hooks.plane(4, 2, 2)
        result = seen + ['numpy' in sys.modules]
    """).result
    assert out == [False, False, False, True]
