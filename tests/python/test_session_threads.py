# Sessions used from several Python threads: the interpreter lock is let go during unit calls,
# and the session lock orders calls on one session.

from test_session import code

PRELUDE = """
import threading
import vexlor_emulator
tb = vexlor_emulator.Testbed()
"""

AUTOFOCUS = 0xA0


def test_two_sessions_on_two_units_from_two_threads(emulated):
    out = emulated(code(PRELUDE, """
        a = tb.add_usb('LS-50', 1, [2])
        b = tb.add_sg('sg0', 'LS-8000')
        import vexlor
        sa, sb = vexlor.Session('usb:001-2'), vexlor.Session('/dev/sg0')
        marks = {id(a): len(a.log()), id(b): len(b.log())}
        errors, start = [], threading.Barrier(2)

        def work(s, unit):
            try:
                start.wait()
                low, high = unit.focus_range
                for i in range(5):
                    s.focus_to(low + i)
                    assert s.focus_position() == low + i == unit.focus
                    assert s.media_loaded()
            except Exception as e:
                errors.append(repr(e))

        threads = [threading.Thread(target=work, args=(sa, a)), threading.Thread(target=work, args=(sb, b))]
        for t in threads:
            t.start()
        for t in threads:
            t.join(30)
        result = [errors, [t.is_alive() for t in threads],
                  len(a.log()) - marks[id(a)], len(b.log()) - marks[id(b)]]
    """)).result
    errors, alive, sent_a, sent_b = out
    assert errors == [] and alive == [False, False]
    # Five rounds of a lens move (five commands), a position read and a media check each.
    assert sent_a == sent_b == 5 * 7


def test_a_long_unit_call_lets_other_threads_run_and_close_waits_for_it(emulated):
    # Autofocus kept busy for ten polls of the unit: about a second of the session's pauses.
    out = emulated(code(PRELUDE, f"""
        u = tb.add_sg('sg0', 'LS-4000')
        import vexlor
        s = vexlor.Session('/dev/sg0')
        u.takes({AUTOFOCUS}, 10)
        ticks, done = [0], threading.Event()

        def count():
            while not done.is_set():
                ticks[0] += 1
                time.sleep(0.001)

        counter = threading.Thread(target=count)
        counter.start()
        began = time.monotonic()
        s.autofocus(100, 200)
        took = time.monotonic() - began
        done.set()
        counter.join()
        ticks_during = ticks[0]

        # close() from another thread while autofocus runs: it returns after the autofocus does.
        outcome, started = [], threading.Event()

        def focus():
            started.set()
            try:
                s.autofocus(100, 200)
                outcome.append('focused')
            except Exception as e:
                outcome.append(repr(e))

        mark = len(u.log())
        worker = threading.Thread(target=focus)
        worker.start()
        started.wait()
        while not any(c[0] == 0xE0 and c[2] == {AUTOFOCUS} for c in u.log()[mark:]):
            time.sleep(0.005)
        closing = len(u.log())
        s.close()
        worker.join(30)
        result = [took, ticks_during, outcome, u.opcodes()[closing:], u.reserved]
    """)).result
    took, ticks, outcome, after_close, reserved = out
    assert took >= 0.9  # ten polls, 100 ms apart
    assert ticks > 50   # the counting thread ran while the unit was busy
    assert outcome == ["focused"]
    # close() waited: the autofocus went on polling the unit, and only then was the unit released.
    assert len(after_close) > 1 and set(after_close[:-1]) == {0x00} and after_close[-1] == 0x17
    assert reserved is False


def test_opening_two_units_from_two_threads_never_collides(emulated):
    # Each open lists every unit, claiming each USB one briefly to ask who it is: those claims
    # must not meet the other thread's session claim.
    out = emulated(code(PRELUDE, """
        tb.add_usb('LS-50', 1, [2])
        tb.add_usb('LS-5000', 1, [3])
        tb.add_sg('sg0', 'LS-8000')
        import vexlor
        failures = []

        def work(where, start):
            start.wait()
            for _ in range(20):
                try:
                    vexlor.Session(where).close()
                except Exception as e:
                    failures.append(f'{where}: {e!r}')

        for pair in (['usb:001-2', 'usb:001-3'], ['usb:001-2', '/dev/sg0']):
            start = threading.Barrier(2)
            threads = [threading.Thread(target=work, args=(w, start)) for w in pair]
            for t in threads:
                t.start()
            for t in threads:
                t.join(120)
        result = failures
    """), timeout=300).result
    assert out == []


def test_a_listing_sends_nothing_to_a_unit_this_process_holds(emulated):
    out = emulated(code(PRELUDE, """
        u = tb.add_sg('sg0', 'LS-9000')
        v = tb.add_usb('LS-50', 1, [2])
        import vexlor
        s, t = vexlor.Session('/dev/sg0'), vexlor.Session('usb:001-2')
        f = u.film()['frames'][0]
        u.script_image(rate=2_000_000)
        listed, n = [], len(u.log())

        def listing():
            time.sleep(0.3)
            listed.append([(d.location, d.name) for d in vexlor.list_devices()])

        lister = threading.Thread(target=listing)
        lister.start()
        r = s.scan_frame((f['top'], f['left'], f['top'] + 2000, f['left'] + 2000), dpi=2000, exposures={}, focus='hold')
        lister.join(30)
        result = [r.complete, 0x12 in u.opcodes()[n:], listed[0]]
    """), timeout=120).result
    complete, inquired, listed = out
    assert complete and not inquired
    # The SCSI unit as it answered when opened; the USB unit, whose interface the session holds, in use.
    assert listed == [["usb:001-2", "LS-50 (in use)"], ["/dev/sg0", "VEXEMU LS-9000 ED"]]


def test_callbacks_calling_into_each_others_sessions_do_not_deadlock(emulated):
    out = emulated(code(PRELUDE, """
        a = tb.add_usb('LS-5000', 1, [2])
        b = tb.add_sg('sg0', 'LS-9000')
        import vexlor
        sa, sb = vexlor.Session('usb:001-2'), vexlor.Session('/dev/sg0')
        for unit in (a, b):
            unit.script_image(rate=2_000_000)
        answers = {'a': [], 'b': []}
        both = threading.Barrier(2)

        def scan(s, unit, other, key):
            f = unit.film()['frames'][0]
            def progress(*args):
                try:
                    both.wait(5)
                except threading.BrokenBarrierError:
                    pass
                try:
                    answers[key].append(other.media_loaded())
                except vexlor.ScannerError as e:
                    answers[key].append(str(e))
            r = s.scan_frame((f['top'], f['left'], f['top'] + 1500, f['left'] + 1500), dpi=2000, exposures={},
                             focus='hold', progress=progress)
            answers[key].append(r.complete)

        threads = [threading.Thread(target=scan, args=(sa, a, sb, 'a')), threading.Thread(target=scan, args=(sb, b, sa, 'b'))]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
        result = [[t.is_alive() for t in threads], answers['a'][-1], answers['b'][-1],
                  sorted(set(x for x in answers['a'] + answers['b'] if isinstance(x, str)))]
    """), timeout=120).result
    alive, a_done, b_done, refusals = out
    assert alive == [False, False] and a_done is True and b_done is True
    assert refusals == ["session is busy in a call on another thread"]


def test_interpreter_exit_ends_a_daemon_threads_scan(emulated):
    # A reporter registered before the session's exit handler runs after it.
    out = emulated(code(PRELUDE, """
        import atexit
        u = tb.add_usb('LS-5000', 1, [2])
        atexit.register(lambda: print('at exit', json.dumps([u.scanning, u.reserved, 0xC0 in u.opcodes()[mark[0]:]]),
                                      file=sys.stderr))
        import vexlor
        s = vexlor.Session('usb:001-2')
        f = u.film()['frames'][0]
        u.script_image(rate=500_000)
        mark = [len(u.log())]
        started = threading.Event()

        def scan():
            s.scan_frame((f['top'], f['left'], f['top'] + 3000, f['left'] + 3000), dpi=2000, exposures={}, focus='hold',
                         progress=lambda *a: started.set())

        threading.Thread(target=scan, daemon=True).start()
        started.wait(30)
        result = 'leaving'
    """), timeout=120)
    assert out.result == "leaving"
    # The pass was stopped with ABORT and the unit released before the process ended.
    at_exit = [line for line in out.stderr.splitlines() if line.startswith("at exit ")]
    assert at_exit == ["at exit [false, false, true]"], out.stderr
