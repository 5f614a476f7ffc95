import pytest

import vexlor

LISTING = """
import vexlor
result = [[d.location, d.name, repr(d)] for d in vexlor.list_devices()]
"""


def listed(emulated, setup):
    return emulated("import vexlor_emulator\ntb = vexlor_emulator.Testbed()\n" + setup + LISTING).result


def test_no_scanner_lists_nothing(emulated):
    assert listed(emulated, "") == []


@pytest.mark.parametrize(
    "setup, location, name",
    [
        ("tb.add_usb('LS-50', 1, [2, 3])", "usb:001-2.3", None),
        ("tb.add_usb('LS-5000', 3, [1, 4], claimed=True)", "usb:003-1.4", "LS-5000 (in use)"),
        ("tb.add_usb('LS-40', 2, [1], inquiry='check')", "usb:002-1", "LS-40 (no answer)"),
        ("tb.add_usb('LS-50', 1, [5], inquiry='short')", "usb:001-5", "LS-50 (no answer)"),
    ],
    ids=["answers", "held-by-another-process", "check-condition", "35-bytes"],
)
def test_usb_units(emulated, setup, location, name):
    [(loc, shown, rep)] = listed(emulated, setup)
    assert loc == location
    assert rep == f'Device("{location}")'
    if name is None:
        # Answered: the identity's vendor and product, no state word.
        assert "LS-50" in shown and not shown.endswith(")")
    else:
        assert shown == name


def test_sg_nodes_in_directory_order_after_usb(emulated):
    out = emulated("""
        import vexlor_emulator
        tb = vexlor_emulator.Testbed()
        tb.add_sg('sg10', model='LS-8000')
        tb.add_sg('sg2', model='LS-9000', device_type=5)
        tb.add_sg('sg3', model='LS-9000', qualifier=1)
        tb.add_sg('sg0', model='LS-4000')
        tb.add_sg('sg4', model='LS-9000', openable=False)
        tb.add_sg('sga', model='LS-9000')
        tb.add_sg('sg1a', model='LS-9000')
        tb.add_usb('LS-50', 1, [2])
        import vexlor
        order = [f'/dev/{n}' for n in os.listdir('/dev') if n in ('sg0', 'sg10')]
        result = {'order': order, 'listed': [[d.location, d.name, repr(d)] for d in vexlor.list_devices()]}
    """).result
    locations = [loc for loc, _, _ in out["listed"]]
    assert locations == ["usb:001-2"] + out["order"]
    assert sorted(out["order"]) == ["/dev/sg0", "/dev/sg10"]
    models = {"/dev/sg0": "LS-4000", "/dev/sg10": "LS-8000"}
    for loc, name, rep in out["listed"][1:]:
        assert rep == f'Device("{loc}")'
        assert models[loc] in name and not name.endswith(")")  # listed only with an identity


def test_each_listing_makes_new_devices(emulated):
    out = emulated("""
        import vexlor_emulator
        tb = vexlor_emulator.Testbed()
        tb.add_usb('LS-50', 1, [2, 3])
        import vexlor
        a, b = vexlor.list_devices(), vexlor.list_devices()
        result = [a[0] is b[0], a[0].location == b[0].location, a[0].name == b[0].name]
    """).result
    assert out == [False, True, True]


def test_misbehaving_units_never_break_listing(emulated):
    # Each listing touches every unit; a unit left claimed would list as in use the second time.
    out = emulated("""
        import vexlor_emulator
        tb = vexlor_emulator.Testbed()
        tb.add_usb('LS-40', 1, [1], inquiry='check')
        tb.add_usb('LS-50', 1, [2], inquiry='short')
        tb.add_usb('LS-5000', 1, [3])
        tb.add_sg('sg0', model='LS-4000', device_type=5)
        import vexlor
        runs = []
        for _ in range(2):
            start = time.monotonic()
            names = {d.location: d.name for d in vexlor.list_devices()}
            runs.append([names, time.monotonic() - start])
        result = runs
    """).result
    (first, t1), (second, t2) = out
    assert first == second
    assert sorted(first) == ["usb:001-1", "usb:001-2", "usb:001-3"]
    assert first["usb:001-1"] == "LS-40 (no answer)"
    assert first["usb:001-2"] == "LS-50 (no answer)"
    assert "LS-5000" in first["usb:001-3"] and not first["usb:001-3"].endswith(")")
    assert t1 < 5 * 4 and t2 < 5 * 4


def test_device_class_surface():
    assert vexlor.Device.__module__ == "vexlor"
    assert vexlor.Device.__doc__ == "A scanner this library found, and can open"
    assert vexlor.Device.location.__doc__ == "Where it is"
    assert vexlor.Device.name.__doc__ == "What to show a person"
    assert vexlor.list_devices.__doc__.rstrip().endswith("Every scanner this library thinks it can drive")
    with pytest.raises(TypeError):
        vexlor.Device()


def test_module_members_in_order():
    public = [n for n in vars(vexlor) if not n.startswith("_")]
    assert public == [
        "Device", "Capabilities", "Session", "ScanResult", "Discovery", "list_devices", "init_logging",
        "ScannerError", "TransientError", "TransportError", "DeviceBusy",
        "DeviceNotFound", "MediaError", "UnsupportedError", "ScanCancelled",
    ]
