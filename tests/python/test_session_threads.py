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
