"""A register that does not fit under the memory limit of the process's cgroup
is refused with the memory message, not left to the kernel's out-of-memory
killer, and the figure it quotes is the room left under the limit now, not
under the most the group has ever used. The test makes a child of its own
memory cgroup (version 1) with a small limit and runs a fresh interpreter
inside it; it is skipped where the machine does not let it create one."""

import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from conftest import SANITIZED

LIMIT = 512 << 20  # the child cgroup's limit
TOO_BIG = 26  # 1 GiB: over the limit, far under the host's available memory
FITS = 20  # 16 MiB
BLOCK = 256 << 20  # used and given back before the figure is read
SLACK = 4 << 20  # what the interpreter may take or give back between two reads


def own_memory_cgroup() -> Path | None:
    """The directory of this process's cgroup in the version 1 memory hierarchy."""
    try:
        table = Path("/proc/self/cgroup").read_text()
    except OSError:
        return None
    for line in table.splitlines():
        _, controllers, path = line.split(":", 2)
        if "memory" in controllers.split(","):
            return Path("/sys/fs/cgroup/memory" + path.rstrip("/"))
    return None


@pytest.fixture
def limited_cgroup():
    parent = own_memory_cgroup()
    if parent is None or not (parent / "memory.limit_in_bytes").exists():
        pytest.skip("no version 1 memory cgroup for this process")
    child = parent / f"zentrova-test-{os.getpid()}"
    try:
        child.mkdir()
    except OSError as e:
        pytest.skip(f"cannot create a memory cgroup here: {e}")
    try:
        try:
            (child / "memory.limit_in_bytes").write_text(str(LIMIT))
        except OSError as e:
            pytest.skip(f"cannot set a memory limit here: {e}")
        yield child
    finally:
        # Empty by now: the interpreter that joined it has exited.
        child.rmdir()


def available_bytes() -> int:
    for line in Path("/proc/meminfo").read_text().splitlines():
        if line.startswith("MemAvailable:"):
            return int(line.split()[1]) * 1024
    return 0


def test_register_over_the_cgroup_limit_is_refused(limited_cgroup):
    if available_bytes() < (16 << TOO_BIG) * 2:
        pytest.skip("the host itself has too little memory to tell the limits apart")
    script = textwrap.dedent(f"""
        import os, sys
        def usage(name="memory.usage_in_bytes"):
            with open(os.path.join({str(limited_cgroup)!r}, name)) as f:
                return int(f.read())
        with open({str(limited_cgroup / "cgroup.procs")!r}, "w") as f:
            f.write(str(os.getpid()))
        block = b"z" * {BLOCK}  # every page written, so charged to the group
        del block
        import zentrova
        reg = zentrova.QuantumRegister({FITS}).h(0)
        print("fits", len(reg.god_observe()), flush=True)
        before = usage()
        try:
            zentrova.QuantumRegister({TOO_BIG})
        except BaseException as e:
            print(type(e).__name__, str(e), flush=True)
        else:
            print("constructed", flush=True)
        print("usage", before, usage(), usage("memory.max_usage_in_bytes"), flush=True)
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, (
        f"the interpreter in the cgroup ended with {done.returncode} "
        f"(killed for memory: {done.returncode == -9}): {done.stderr}")
    lines = done.stdout.splitlines()
    assert lines[0] == f"fits {1 << FITS}"
    need = 16 << TOO_BIG
    m = re.fullmatch(
        rf"PanicException You have (\d+) bytes of memory and Not enough memory to simulate "
        rf"{TOO_BIG} qubits! This which needs\.\. {need} bytes of memory! This need (\d+) more "
        r"memory", lines[1])
    assert m, lines[1]
    have, more = int(m[1]), int(m[2])
    assert have + more == need
    assert have <= LIMIT  # the cgroup's figure, not the host's
    before, after, peak = map(int, lines[2].split()[1:])
    assert peak - after > BLOCK // 2, "the block never reached the group's usage"
    assert LIMIT - after - SLACK <= have <= LIMIT - before + SLACK, (have, before, after, peak)


@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer's shadow and quarantine eat the margin")
def test_readout_copies_over_the_cgroup_limit_are_refused(limited_cgroup):
    """A 256 MiB register fits under the limit, and so does the 128 MiB copy of
    its probabilities; the 256 MiB copy of its amplitudes does not, and is
    refused up front with the PanicException zentrova itself raises."""
    n = 24
    if available_bytes() < LIMIT * 2:
        pytest.skip("the host itself has too little memory to tell the limits apart")
    script = textwrap.dedent(f"""
        import os
        with open({str(limited_cgroup / "cgroup.procs")!r}, "w") as f:
            f.write(str(os.getpid()))
        import zentrova, zentrova_readout
        ballast = b"z" * (32 << 20)  # every page written: a clear margin below the need
        try:
            zentrova.QuantumRegister(60)
        except BaseException as e:
            panic = type(e)
        reg = zentrova.QuantumRegister({n}).h(0)
        print("probabilities", len(zentrova_readout.probabilities(reg)), flush=True)
        try:
            zentrova_readout.amplitudes(reg)
        except panic as e:
            print("refused", e, flush=True)
        print("state", memoryview(zentrova_readout.probabilities(reg))[:3].tolist(), flush=True)
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, (
        f"ended with {done.returncode} (killed for memory: {done.returncode == -9}): "
        f"{done.stderr}")
    lines = done.stdout.splitlines()
    assert lines[0] == f"probabilities {1 << n}"
    assert re.fullmatch(
        rf"refused Not enough memory for a copy of the {1 << n} amplitudes: it needs "
        rf"{16 << n} bytes and you have \d+ bytes of memory", lines[1]), lines[1]
    assert lines[2] == "state [0.5000000000000001, 0.5000000000000001, 0.0]"
