"""Processes made by fork draw streams of their own: a child, a grandchild, the
child of a thread that had drawn, and the workers of a fork-started pool. Each
draw measures a 10-qubit uniform state, so two independent streams agree on a
draw only by chance, once in 1024; a copied stream agrees on all of them."""

import itertools
import json
import multiprocessing
import os
import threading
import traceback

import pytest

import zentrova

pytestmark = pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")

QUBITS = 10
DRAWS = 64


def draws(count: int = DRAWS) -> list[int]:
    reg = zentrova.QuantumRegister(QUBITS)
    out = []
    for _ in range(count):
        # Hadamards on a basis state give every outcome probability 1/1024.
        for q in range(QUBITS):
            reg.h(q)
        out.append(int(repr(reg.observe())[1:-1], 2))
    return out


def in_child(work):
    """What work() returns when run in a forked child."""
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        status = 1
        try:
            os.close(read)
            os.write(write, json.dumps(work()).encode())
            status = 0
        except BaseException:  # noqa: BLE001 - reported by the exit status
            traceback.print_exc()
        finally:
            os._exit(status)
    os.close(write)
    with os.fdopen(read) as f:
        text = f.read()
    assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0
    return json.loads(text)


def assert_independent(*streams):
    # Five or more chance agreements among 64 draws: probability below 1e-8.
    for a, b in itertools.combinations(streams, 2):
        same = sum(x == y for x, y in zip(a, b))
        assert same <= 4, f"{same} of {len(a)} draws agree"


def test_parent_child_and_grandchild():
    draws(1)  # the parent's generator is keyed and holds buffered draws
    child, grandchild = in_child(lambda: (draws(), in_child(draws)))
    assert_independent(draws(), child, grandchild)


@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_a_thread_that_has_drawn_forks():
    streams = []

    def work():
        draws(1)
        streams.append(in_child(draws))
        streams.append(draws())

    thread = threading.Thread(target=work)
    thread.start()
    thread.join()
    assert len(streams) == 2
    assert_independent(*streams)


def test_fork_pool_workers():
    draws(1)
    with multiprocessing.get_context("fork").Pool(4) as pool:
        streams = pool.map(draws, [16] * 8, chunksize=1)
    assert_independent(draws(16), *streams)
