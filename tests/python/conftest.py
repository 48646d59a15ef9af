import ctypes
import gc
import os
import sys

import pytest
from hypothesis import HealthCheck, settings

import zentrova


def _panic_type() -> type[BaseException]:
    try:
        zentrova.QuantumRegister(60)
    except BaseException as e:  # noqa: BLE001 - the type is what we want
        return type(e)
    raise AssertionError("QuantumRegister(60) was not refused")


PanicException = _panic_type()

# True in the AddressSanitizer build, whose quarantine and shadow memory make
# the process's resident size say nothing about leaks.
SANITIZED = hasattr(ctypes.CDLL(None), "__asan_init")


# Hypothesis profiles, registered before pytest reads --hypothesis-profile: "ci"
# (the default) runs a fixed set of examples, "long" searches afresh each time.
# ZENTROVA_FUZZ_EXAMPLES sets the number of examples of either.
_CHECKS = [HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much]
settings.register_profile(
    "ci", derandomize=True, database=None, deadline=None, suppress_health_check=_CHECKS,
    max_examples=int(os.environ.get("ZENTROVA_FUZZ_EXAMPLES", "400")))
settings.register_profile(
    "long", deadline=None, suppress_health_check=_CHECKS,
    max_examples=int(os.environ.get("ZENTROVA_FUZZ_EXAMPLES", "20000")))
settings.load_profile("ci")


@pytest.fixture
def panic() -> type[BaseException]:
    return PanicException


# -- sanitizer run ------------------------------------------------------------
# Under the AddressSanitizer build (scripts/test_sanitizers.sh sets
# ZENTROVA_LEAK_CHECK=1) the leak check runs here, before the interpreter
# finalizes: everything the interpreter still owns is reachable then, so
# whatever LeakSanitizer reports was really lost and no stack needs to be
# suppressed. The check at exit would see the interpreter's own teardown leaks,
# and suppressing those by interpreter frames would hide ours as well: every
# allocation the module makes has interpreter frames further down its stack.
_leak_verdict: list[str] = []


def pytest_sessionfinish(session, exitstatus):
    if os.environ.get("ZENTROVA_LEAK_CHECK") != "1":
        return
    gc.collect()
    if ctypes.CDLL(None).__lsan_do_recoverable_leak_check():
        _leak_verdict.append("LEAKS: see the LeakSanitizer report on stderr")
        session.exitstatus = pytest.ExitCode.TESTS_FAILED
    else:
        _leak_verdict.append("no leaks")


def pytest_terminal_summary(terminalreporter):
    fuzz = sys.modules.get("fuzz_model")
    if fuzz is not None and fuzz.STATS.cases:
        for line in fuzz.STATS.summary_lines():
            terminalreporter.write_line(line)
    for verdict in _leak_verdict:
        terminalreporter.write_line("leak check before finalization: " + verdict)
