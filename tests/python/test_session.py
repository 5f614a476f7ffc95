# Each call against one unit another process holds (opening it fails) and nothing else.
CALLS = [
    ("vexlor.Session('usb:003-1.4')", "TransportError", "io error: "),
    ("vexlor.Session(location='USB:003-1.4')", "TransportError", "io error: "),  # the match ignores ASCII case
    ("vexlor.Session('usb:003-1')", "DeviceNotFound", "no scanner matched"),
    ("vexlor.Session.open(vexlor.list_devices()[0])", "TransportError", "io error: "),
    ("vexlor.Session.open(device=vexlor.list_devices()[0])", "TransportError", "io error: "),
    ("vexlor.Session(b'usb:003-1.4')", "TypeError", "Session(): argument 'location' must be str, not bytes"),
    ("vexlor.Session()", "TypeError", "'location'"),
    ("vexlor.Session.open('usb:003-1.4')", "TypeError", "open(): argument 'device' must be Device, not str"),
]


def test_openings_that_fail_raise_their_exception(emulated):
    out = emulated(f"""
        import vexlor_emulator
        tb = vexlor_emulator.Testbed()
        tb.add_usb('LS-5000', 3, [1, 4], claimed=True)
        import vexlor
        result = []
        for call in {[c for c, _, _ in CALLS]!r}:
            try:
                eval(call)
                result.append(['opened', ''])
            except Exception as e:
                result.append([type(e).__name__, str(e)])
    """).result
    assert len(out) == len(CALLS)
    for (call, error, message), (raised, text) in zip(CALLS, out):
        assert raised == error, call
        assert message in text, call
