"""How the plugins fail: before any work where the input is at fault, and always with an
exception a Python user can catch and send through a process pool.

zentrova refuses a register that would not fit in memory with its PanicException, which
derives from BaseException: `except Exception` misses it, a process pool's worker dies of it
(the batch then waits forever, or the pool reports a PicklingError), and a report of the
fatal error reaches standard error first. So the plugins ask the host for its memory
themselves before they ask the module for a register, and turn any PanicException that still
comes into an ordinary, picklable exception."""

import cmath
import contextlib
import math
import numbers
import os
import sys

import numpy as np

# Registers up to 1 MiB are made without asking the host first, as the module does.
UNCHECKED_QUBITS = 16


class RefusedError(RuntimeError):
    """zentrova refused a circuit: too large for memory, or a fatal refusal of the module.
    The message says why. Pickles as any built-in exception of one argument does."""


def is_panic(error: BaseException) -> bool:
    """Whether `error` is the module's PanicException (not a module attribute: known by name)."""
    return type(error).__name__ == "PanicException" and type(error).__module__ == "pyo3_runtime"


@contextlib.contextmanager
def panics_as(error_type=RefusedError, prefix: str = "zentrova refused the circuit: "):
    """Runs the block; a PanicException from it leaves as error_type(prefix + its message)."""
    try:
        yield
    except BaseException as e:
        if not is_panic(e):
            raise
        raise error_type(f"{prefix}{e}") from None


def available_memory() -> int | None:
    """The physical memory available for allocation, in bytes, as the module reads it (on
    Linux MemAvailable, lowered to the room under the process's cgroup limits); None where
    the host does not say."""
    try:
        if sys.platform == "win32":
            return _windows_available()
        available = _linux_available()
        if available is None:
            available = os.sysconf("SC_AVPHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
        return available
    except (OSError, ValueError, AttributeError):
        return None


def _linux_available() -> int | None:
    try:
        with open("/proc/meminfo") as f:
            host = next((int(line.split()[1]) * 1024 for line in f
                         if line.startswith("MemAvailable:")), None)
    except OSError:
        return None
    if host is None:
        return None
    try:
        with open("/proc/self/cgroup") as f:
            table = f.read().splitlines()
    except OSError:
        return host
    for line in table:
        hierarchy, controllers, path = line.split(":", 2)
        if hierarchy == "0" and not controllers:
            root, files = "/sys/fs/cgroup", ("memory.max", "memory.current")
        elif "memory" in controllers.split(","):
            root, files = "/sys/fs/cgroup/memory", ("memory.limit_in_bytes",
                                                    "memory.usage_in_bytes")
        else:
            continue
        directory = root + path.rstrip("/")
        while directory.startswith(root):
            try:
                with open(f"{directory}/{files[0]}") as lf, open(f"{directory}/{files[1]}") as uf:
                    limit, usage = lf.read().strip(), uf.read().strip()
                if limit != "max":
                    host = min(host, max(0, int(limit) - int(usage)))
            except (OSError, ValueError):
                pass
            directory = directory.rsplit("/", 1)[0]
    return host


def _windows_available() -> int | None:
    import ctypes

    class MemoryStatusEx(ctypes.Structure):
        _fields_ = [("dwLength", ctypes.c_ulong), ("dwMemoryLoad", ctypes.c_ulong),
                    ("ullTotalPhys", ctypes.c_ulonglong), ("ullAvailPhys", ctypes.c_ulonglong),
                    ("ullTotalPageFile", ctypes.c_ulonglong),
                    ("ullAvailPageFile", ctypes.c_ulonglong),
                    ("ullTotalVirtual", ctypes.c_ulonglong),
                    ("ullAvailVirtual", ctypes.c_ulonglong),
                    ("ullAvailExtendedVirtual", ctypes.c_ulonglong)]

    status = MemoryStatusEx()
    status.dwLength = ctypes.sizeof(status)
    if not ctypes.windll.kernel32.GlobalMemoryStatusEx(ctypes.byref(status)):
        return None
    return int(status.ullAvailPhys)


def check_memory(qubits: int, what: str = "a register", bytes_per_entry: int = 16,
                 error_type=RefusedError) -> None:
    """Refuses, with error_type, `what` of 2**qubits entries of bytes_per_entry bytes when the
    host has not that much memory available; the message gives the qubits, the bytes needed
    and the bytes available."""
    if qubits <= UNCHECKED_QUBITS:
        return
    need = bytes_per_entry << qubits
    available = available_memory()
    if available is not None and need > available:
        raise error_type(
            f"not enough memory for {what} of {qubits} qubits: it needs {need} bytes and "
            f"{available} bytes are available")


def max_qubits(bytes_per_entry: int = 16) -> int | None:
    """The most qubits a register of bytes_per_entry bytes an entry may have in the host's
    memory available now (never fewer than the registers made unasked, nor more than the
    module makes at all); None where the host does not say."""
    available = available_memory()
    if available is None:
        return None
    return min(max(UNCHECKED_QUBITS, (available // bytes_per_entry).bit_length() - 1), 59)


def check_finite(values, what) -> None:
    """ValueError naming `what` (a text, or a function giving it, called only on failure)
    when a value (a number or an array of them) is NaN or infinite, a complex one in either
    part: such an angle or entry would make every result NaN, or a made-up one."""
    for v in values:
        if isinstance(v, float) and math.isfinite(v):  # the common case, cheaply
            continue
        if isinstance(v, complex) and cmath.isfinite(v):  # both parts, as cheaply
            continue
        arr = np.asarray(v)
        if arr.dtype.kind == "O":
            # Numbers kept as objects (a list mixing kinds, an array built so): the
            # values as complex, so that no part of any of them goes unchecked.
            try:
                arr = arr.astype(np.complex128)
            except (TypeError, ValueError, OverflowError):
                continue  # symbols (checked once bound), or ints beyond any float
        if arr.dtype.kind in "fc" and not np.isfinite(arr).all():
            bad = arr if arr.ndim == 0 else arr[~np.isfinite(arr)].flat[0]
            what = what() if callable(what) else what
            raise ValueError(f"{what}: the non-finite value {bad.item()!r} is refused (NaN "
                             "or an infinity would make every result NaN or made up)")


def check_max_workers(max_workers) -> None:
    """max_workers must be an int of 1 or more, or None (no pool)."""
    if max_workers is None:
        return
    if isinstance(max_workers, bool) or not isinstance(max_workers, numbers.Integral) \
            or max_workers < 1:
        raise ValueError(f"max_workers must be an int of 1 or more, or None, not {max_workers!r}")


def usable_cores() -> int:
    """The cores this process may run on: its affinity mask, capped by the CPU quota of its
    cgroup (v2's cpu.max, "quota period", rounded up); at least 1."""
    try:
        cores = len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        cores = os.cpu_count() or 1
    try:
        with open("/sys/fs/cgroup/cpu.max") as f:
            quota, period = f.read().split()[:2]
        if quota != "max" and int(period) > 0:
            cores = min(cores, -(-int(quota) // int(period)))
    except (OSError, ValueError):
        pass
    return max(1, cores)


def check_threads(threads) -> int:
    """threads must be an int of 1 or more, or None (every usable core); returns the count."""
    if threads is None:
        return usable_cores()
    if isinstance(threads, bool) or not isinstance(threads, numbers.Integral) or threads < 1:
        raise ValueError(f"threads must be an int of 1 or more, or None, not {threads!r}")
    return int(threads)


__all__ = ["RefusedError", "available_memory", "check_finite", "check_max_workers",
           "check_memory", "check_threads", "is_panic", "max_qubits", "panics_as", "usable_cores"]
