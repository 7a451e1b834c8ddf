"""Waiting for a condition with a deadline, never for a fixed time: the
tests that drive a window, a server or a process poll with this."""
import time

POLL_S = 0.03


def wait_until(condition, timeout_s, what):
    """Polls condition() until it returns something true and returns that;
    raises AssertionError naming what was awaited at the deadline."""
    deadline = time.monotonic() + timeout_s
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise AssertionError("gave up after %.1f s waiting for %s" % (timeout_s, what))
        time.sleep(POLL_S)


def wait_quietly(condition, timeout_s):
    """Like wait_until, but gives False at the deadline."""
    try:
        return wait_until(condition, timeout_s, "")
    except AssertionError:
        return False
