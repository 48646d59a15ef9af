"""Arguments for the fuzz test, and a model of how the module treats them.

Every argument is described by a recipe, which builds the object handed to the
module and predicts, without running any of that object's code, what each of
the four conversions (qubit index, angle, matrix entry, index list) makes of
it: a value, or the exact exception. Objects with hooks (__index__, __float__,
__len__, __iter__, __getitem__) log every call of a hook, and may call back
into the register that is converting them; the model predicts that log too,
so it also checks that later arguments are never looked at after a failure.
Texts that come from the interpreter are produced by the interpreter's own
functions on plain values (operator.index for PyNumber_Index, math.ldexp for
PyFloat_AsDouble), so they are the interpreter's exact words.
"""

from __future__ import annotations

import math
import operator
import re
from collections import Counter
from dataclasses import dataclass, field
from typing import Any

from model import OUT_OF_SCOPE, Model, ModelError

BORROWED = "Already borrowed"
STR_TO_VEC = "Can't extract `str` to `Vec`"
NEGATIVE = "can't convert negative int to unsigned"
TOO_BIG = "int too big to convert"
CAPACITY = "capacity overflow"

QUBIT, ANGLE, ENTRY, LIST = "qubit", "angle", "entry", "list"

# Parameters of the constructor and of the thirteen methods that take
# arguments, with the kind of each; None marks the two no-argument methods.
PARAMS: dict[str, list[tuple[str, str]] | None] = {
    "__new__": [("n", QUBIT)],
    "observe": None,
    "observe_one": [("target", QUBIT)],
    "observe_mul": [("targets", LIST)],
    "god_observe": None,
    "x": [("target", QUBIT)],
    "h": [("target", QUBIT)],
    "u": [("target", QUBIT), ("u00", ENTRY), ("u01", ENTRY), ("u10", ENTRY), ("u11", ENTRY)],
    "cnot": [("control", QUBIT), ("target", QUBIT)],
    "ccnot": [("control1", QUBIT), ("control2", QUBIT), ("target", QUBIT)],
    "rz": [("target", QUBIT), ("theta", ANGLE)],
    "rx": [("target", QUBIT), ("theta", ANGLE)],
    "ry": [("target", QUBIT), ("theta", ANGLE)],
    "swap": [("q1", QUBIT), ("q2", QUBIT)],
    "csswap": [("control", QUBIT), ("target_1", QUBIT), ("target_2", QUBIT)],
    "mcu": [("control", LIST), ("target", QUBIT), ("u00", ENTRY), ("u01", ENTRY), ("u10", ENTRY),
            ("u11", ENTRY)],
}
METHODS = [m for m in PARAMS if m != "__new__"]


class Refusal(Exception):
    """The exception the module is expected to raise: its exact type, and its
    message as a string or, where it carries a host figure, a pattern."""

    def __init__(self, exc_type: type[BaseException], message: str | re.Pattern[str]) -> None:
        super().__init__(exc_type, message)
        self.exc_type = exc_type
        self.message = message

    def matches(self, exc: BaseException) -> bool:
        if type(exc) is not self.exc_type:
            return False
        if isinstance(self.message, str):
            return str(exc) == self.message
        m = self.message.fullmatch(str(exc))
        return m is not None and _figures_add_up(m)

    def __repr__(self) -> str:
        return f"{self.exc_type.__name__}({self.message!r})"


def _figures_add_up(m: re.Match[str]) -> bool:
    figures = m.groupdict()
    if "have" in figures and "more" in figures:  # the register memory message
        return int(figures["have"]) + int(figures["more"]) == int(figures["need"])
    return True


def rewrite(param: str, refusal: Refusal) -> Refusal:
    if refusal.exc_type is TypeError:
        return Refusal(TypeError, f"argument '{param}': {refusal.message}")
    return refusal


def u64(value: int) -> int:
    if value < 0:
        raise Refusal(OverflowError, NEGATIVE)
    if value >= 1 << 64:
        raise Refusal(OverflowError, TOO_BIG)
    return value


def interpreter(call, *args) -> Any:
    """Runs an interpreter function on a plain value; its exception becomes a Refusal."""
    try:
        return call(*args)
    except Exception as e:  # noqa: BLE001 - the exception is the prediction
        raise Refusal(type(e), str(e)) from None


def type_mismatch(obj: Any, expected: str) -> Refusal:
    if obj is None:
        return Refusal(TypeError, f"'None' is not an instance of '{expected}'")
    return Refusal(TypeError, f"'{type(obj).__qualname__}' object is not an instance of '{expected}'")


# -- what hooks see -------------------------------------------------------------

class Context:
    """The register a call works on and the log its arguments' hooks write."""

    def __init__(self, reg: Any, n: int) -> None:
        self.reg = reg
        self.n = n
        self.events: list[tuple] = []


INNER_CALLS = {
    "x": lambda reg: reg.x(0),
    "god_observe": lambda reg: reg.god_observe(),
    "observe": lambda reg: reg.observe(),
    "mcu": lambda reg: reg.mcu([], 0, 1j, 0j, 0j, 1j),
}


@dataclass(frozen=True)
class Reenter:
    """A hook that calls a method of the register being converted."""
    method: str
    escape: bool  # let the inner call's exception out of the hook

    def run(self, ctx: Context) -> None:
        try:
            INNER_CALLS[self.method](ctx.reg)
        except Exception as e:
            ctx.events.append(("inner", type(e).__name__, str(e)))
            if self.escape:
                raise
        else:
            ctx.events.append(("inner", "returned"))

    def predict(self, ctx: Context) -> None:
        ctx.events.append(("inner", "RuntimeError", BORROWED))
        if self.escape:
            raise Refusal(RuntimeError, BORROWED)


class HookSubTypeError(TypeError):
    """A TypeError subclass: passed on, never renamed."""


HOOK_ERRORS: dict[str, type[Exception]] = {
    "ValueError": ValueError, "TypeError": TypeError, "KeyError": KeyError,
    "ZeroDivisionError": ZeroDivisionError, "OverflowError": OverflowError,
    "HookSubTypeError": HookSubTypeError,
}


@dataclass(frozen=True)
class Behaviour:
    """What a value hook does after any re-entry: return a value, raise, or
    return something of the wrong type."""
    action: str  # "return", "raise", "wrong"
    value: Any = None  # returned value (an int may be relative to n), error name, wrong value
    relative: bool = False

    def result(self, ctx: Context) -> Any:
        if self.action == "raise":
            raise HOOK_ERRORS[self.value]("from a hook")
        if self.action == "return" and self.relative:
            return ctx.n + self.value
        return self.value


def hook_error(name: str) -> Refusal:
    exc = HOOK_ERRORS[name]("from a hook")
    return Refusal(type(exc), str(exc))


# -- argument recipes -------------------------------------------------------------

class Arg:
    """One argument: builds its object and predicts each conversion of it."""

    def build(self, ctx: Context) -> Any:
        raise NotImplementedError

    # The defaults treat the argument as the plain object that build() makes,
    # running the interpreter's own conversion on a fresh copy of it.
    def qubit(self, ctx: Context) -> int:
        obj = self.build(ctx)
        if isinstance(obj, int):
            return u64(int(obj))
        return u64(interpreter(operator.index, obj))

    def angle(self, ctx: Context) -> float:
        return interpreter(math.ldexp, self.build(ctx), 0)

    def entry(self, ctx: Context) -> complex:
        obj = self.build(ctx)
        if not isinstance(obj, complex):
            raise type_mismatch(obj, "complex")
        return complex(obj.real, obj.imag)

    def index_list(self, ctx: Context) -> list[int]:
        obj = self.build(ctx)
        if isinstance(obj, str):
            raise Refusal(TypeError, STR_TO_VEC)
        if not isinstance(obj, (list, tuple, bytes, bytearray, range)):
            raise type_mismatch(obj, "Sequence")
        return [u64(item) for item in obj]


@dataclass(frozen=True)
class IntArg(Arg):
    value: int
    relative: bool = False  # value + n

    def build(self, ctx: Context) -> Any:
        return ctx.n + self.value if self.relative else self.value


@dataclass(frozen=True)
class BoolArg(Arg):
    value: bool

    def build(self, ctx: Context) -> Any:
        return self.value


class IntSub(int):
    """An int subclass with hooks that must never run: it converts as an int."""

    def __index__(self) -> int:
        raise AssertionError("IntSub.__index__ called")


@dataclass(frozen=True)
class IntSubArg(IntArg):
    def build(self, ctx: Context) -> Any:
        return IntSub(super().build(ctx))


@dataclass(frozen=True)
class FloatArg(Arg):
    value: float
    subclass: bool = False

    def build(self, ctx: Context) -> Any:
        return FloatSub(self.value) if self.subclass else self.value


class FloatSub(float):
    """A float subclass: read directly, its __float__ must never run."""

    def __float__(self) -> float:
        raise AssertionError("FloatSub.__float__ called")


PLAIN_MAKERS = {
    "str": lambda: "1", "empty str": lambda: "", "bytes": lambda: b"\x00\x01",
    "bytearray": lambda: bytearray(b"\x01"), "None": lambda: None, "list": lambda: [0, 1],
    "empty list": lambda: [], "tuple": lambda: (1, 0), "range": lambda: range(2),
    "set": lambda: {0, 1}, "frozenset": lambda: frozenset({0}), "dict": lambda: {0: 1},
    "object": object, "generator": lambda: (q for q in [0, 1]), "complex": lambda: 1j,
    "big int": lambda: 10**400, "ellipsis": lambda: ...,
}


@dataclass(frozen=True)
class Plain(Arg):
    name: str

    def build(self, ctx: Context) -> Any:
        return PLAIN_MAKERS[self.name]()


@dataclass(frozen=True)
class ComplexArg(Arg):
    re: float
    im: float
    subclass: bool = False

    def build(self, ctx: Context) -> Any:
        return (ComplexSub if self.subclass else complex)(self.re, self.im)


class ComplexSub(complex):
    """A complex subclass: its stored value is read, its hook must never run."""

    def __complex__(self) -> complex:
        raise AssertionError("ComplexSub.__complex__ called")


class ComplexLike:
    """Converts to complex, but is no instance of it: refused without a call."""

    def __complex__(self) -> complex:
        raise AssertionError("ComplexLike.__complex__ called")


@dataclass(frozen=True)
class ComplexLikeArg(Arg):
    def build(self, ctx: Context) -> Any:
        return ComplexLike()


class IndexHook:
    def __init__(self, recipe: IndexHookArg, ctx: Context) -> None:
        self._recipe, self._ctx = recipe, ctx

    def __index__(self) -> Any:
        return self._recipe.run(self._ctx, "__index__")


class FloatHook:
    def __init__(self, recipe: FloatHookArg, ctx: Context) -> None:
        self._recipe, self._ctx = recipe, ctx

    def __float__(self) -> Any:
        return self._recipe.run(self._ctx, "__float__")


@dataclass(frozen=True)
class HookArg(Arg):
    behaviour: Behaviour
    reenter: Reenter | None = None

    def run(self, ctx: Context, event: str) -> Any:
        ctx.events.append((event,))
        if self.reenter is not None:
            self.reenter.run(ctx)
        return self.behaviour.result(ctx)

    def predict(self, ctx: Context, event: str) -> Any:
        ctx.events.append((event,))
        if self.reenter is not None:
            self.reenter.predict(ctx)
        b = self.behaviour
        if b.action == "raise":
            raise hook_error(b.value)
        return b.result(ctx)


@dataclass(frozen=True)
class IndexHookArg(HookArg):
    def build(self, ctx: Context) -> Any:
        return IndexHook(self, ctx)

    def _index(self, ctx: Context) -> int:
        value = self.predict(ctx, "__index__")
        if not isinstance(value, int):
            raise Refusal(TypeError, f"__index__ returned non-int (type {type(value).__name__})")
        return value

    def qubit(self, ctx: Context) -> int:
        return u64(self._index(ctx))

    def angle(self, ctx: Context) -> float:
        # With no __float__, the interpreter converts through __index__.
        return interpreter(float, self._index(ctx))

    def index_list(self, ctx: Context) -> list[int]:
        raise type_mismatch(IndexHook(self, ctx), "Sequence")


@dataclass(frozen=True)
class FloatHookArg(HookArg):
    def build(self, ctx: Context) -> Any:
        return FloatHook(self, ctx)

    def qubit(self, ctx: Context) -> int:
        raise Refusal(TypeError, "'FloatHook' object cannot be interpreted as an integer")

    def angle(self, ctx: Context) -> float:
        value = self.predict(ctx, "__float__")
        if not isinstance(value, float):
            raise Refusal(TypeError, "FloatHook.__float__ returned non-float "
                                     f"(type {type(value).__name__})")
        return value

    def index_list(self, ctx: Context) -> list[int]:
        raise type_mismatch(FloatHook(self, ctx), "Sequence")


class SeqHook:
    """A sequence by __getitem__, iterated the old way, with a __len__ hook."""

    def __init__(self, recipe: SeqArg, ctx: Context, items: list[Any]) -> None:
        self._recipe, self._ctx, self._items = recipe, ctx, items

    def __len__(self) -> Any:
        self._ctx.events.append(("__len__",))
        if self._recipe.len_reenter is not None:
            self._recipe.len_reenter.run(self._ctx)
        return self._recipe.length.result(self._ctx)

    def __getitem__(self, i: int) -> Any:
        self._ctx.events.append(("__getitem__", i))
        if i < len(self._items):
            return self._items[i]
        raise IndexError(i)


class SeqIterHook(SeqHook):
    """The same with an __iter__ of its own."""

    def __iter__(self) -> Any:
        self._ctx.events.append(("__iter__",))
        if self._recipe.iteration == "iter raises":
            raise ValueError("no iteration")
        if self._recipe.iteration == "iter wrong":
            return 5
        return iter(self._items)


@dataclass(frozen=True)
class SeqArg(Arg):
    items: tuple[Arg, ...]
    length: Behaviour  # __len__'s answer: only a hint, its failures are ignored
    iteration: str = "getitem"  # "getitem", "iter", "iter raises", "iter wrong"
    len_reenter: Reenter | None = None
    container: str = "hook"  # "hook", "list", "tuple"

    def build(self, ctx: Context) -> Any:
        items = [item.build(ctx) for item in self.items]
        if self.container == "list":
            return items
        if self.container == "tuple":
            return tuple(items)
        cls = SeqHook if self.iteration == "getitem" else SeqIterHook
        return cls(self, ctx, items)

    def _name(self) -> str:
        if self.container != "hook":
            return self.container
        return "SeqHook" if self.iteration == "getitem" else "SeqIterHook"

    def qubit(self, ctx: Context) -> int:
        raise Refusal(TypeError, f"'{self._name()}' object cannot be interpreted as an integer")

    def angle(self, ctx: Context) -> float:
        raise Refusal(TypeError, f"must be real number, not {self._name()}")

    def entry(self, ctx: Context) -> complex:
        raise Refusal(TypeError, f"'{self._name()}' object is not an instance of 'complex'")

    def index_list(self, ctx: Context) -> list[int]:
        if self.container != "hook":
            return [item.qubit(ctx) for item in self.items]
        ctx.events.append(("__len__",))
        if self.len_reenter is not None:
            try:
                self.len_reenter.predict(ctx)
            except Refusal:
                pass  # the length is a hint: whatever __len__ raises is dropped
        if self.iteration == "getitem":
            out = []
            for i, item in enumerate(self.items):
                ctx.events.append(("__getitem__", i))
                out.append(item.qubit(ctx))
            ctx.events.append(("__getitem__", len(self.items)))
            return out
        ctx.events.append(("__iter__",))
        if self.iteration == "iter raises":
            raise Refusal(ValueError, "no iteration")
        if self.iteration == "iter wrong":
            raise Refusal(TypeError, "iter() returned non-iterator of type 'int'")
        return [item.qubit(ctx) for item in self.items]


# -- the call protocol ------------------------------------------------------------

def _names(missing: list[str]) -> str:
    quoted = [f"'{m}'" for m in missing]
    if len(quoted) == 1:
        return quoted[0]
    if len(quoted) == 2:
        return f"{quoted[0]} and {quoted[1]}"
    return ", ".join(quoted[:-1]) + ", and " + quoted[-1]


def match_args(method: str, nargs: int, keywords: list[str]) -> dict[str, int | str]:
    """Which positional index or keyword fills each parameter, or the argument-list error."""
    full = f"QuantumRegister.{method}()"
    params = PARAMS[method]
    if params is None:  # METH_NOARGS: the interpreter's own check
        if keywords:
            raise Refusal(TypeError, f"{full} takes no keyword arguments")
        if nargs:
            raise Refusal(TypeError, f"{full} takes no arguments ({nargs} given)")
        return {}
    names = [p for p, _ in params]
    if nargs > len(names):
        raise Refusal(TypeError, f"{full} takes {len(names)} positional arguments but {nargs} "
                                 f"{'was' if nargs == 1 else 'were'} given")
    placed: dict[str, int | str] = {names[i]: i for i in range(nargs)}
    for k in keywords:
        if k not in names:
            raise Refusal(TypeError, f"{full} got an unexpected keyword argument '{k}'")
        if k in placed:
            raise Refusal(TypeError, f"{full} got multiple values for argument '{k}'")
        placed[k] = k
    missing = [p for p in names if p not in placed]
    if missing:
        raise Refusal(TypeError, f"{full} missing {len(missing)} required positional "
                                 f"{'argument' if len(missing) == 1 else 'arguments'}: "
                                 f"{_names(missing)}")
    return placed


def convert(method: str, placed: dict[str, Arg], ctx: Context) -> list[Any]:
    """The converted values in parameter order; the four matrix entries as one
    group, type checks first."""
    params = PARAMS[method] or []
    values: list[Any] = []
    i = 0
    while i < len(params):
        name, kind = params[i]
        if kind == ENTRY:
            group = [p for p, _ in params[i:i + 4]]
            for p in group:
                try:
                    placed[p].entry(ctx)
                except Refusal as r:
                    raise rewrite(p, r) from None
            values.extend(placed[p].entry(ctx) for p in group)
            i += 4
            continue
        arg = placed[name]
        try:
            if kind == QUBIT:
                values.append(arg.qubit(ctx))
            elif kind == ANGLE:
                values.append(arg.angle(ctx))
            else:
                values.append(arg.index_list(ctx))
        except Refusal as r:
            raise rewrite(name, r) from None
        i += 1
    return values


def construct(n: int) -> None:
    """Refusals of the engine's construction; returns when a register of n fits."""
    if n >= 64:
        raise Refusal(Panic.type, f"{CAPACITY}: a register of {n} qubits needs 16 * 2^{n} bytes, "
                                  "more than a 64-bit size can hold")
    if n >= 60:
        raise Refusal(Panic.type, CAPACITY)
    if n >= 40:  # 16 TiB and more: beyond any test machine
        need = 16 << n
        raise Refusal(Panic.type, re.compile(
            rf"You have (?P<have>\d+) bytes of memory and Not enough memory to simulate {n} "
            rf"qubits! This which needs\.\. (?P<need>{need}) bytes of memory! This need "
            rf"(?P<more>\d+) more memory"))


class Panic:
    type: type[BaseException]  # set by the test: the module's PanicException


def gate(model: Model, method: str, values: list[Any]) -> None:
    if method == "mcu":
        control, target, *matrix = values
        args = [control, target, *matrix]
    elif method in ("rx", "ry", "rz") and math.isinf(values[1]):
        # C's cos and sin give NaN where Python's raise; NaN gives the same NaNs.
        args = [values[0], math.nan]
    else:
        args = values
    try:
        getattr(model, method)(*args)
    except ModelError as e:
        raise Refusal(ValueError, str(e)) from None


def check_targets(n: int, targets: list[int]) -> None:
    """observe_mul's refusals, in the engine's order."""
    if any(t >= n for t in targets):
        raise Refusal(Panic.type, OUT_OF_SCOPE)
    b = len(targets)
    if b >= 60:
        raise Refusal(Panic.type, CAPACITY)
    if b >= 40:  # 8 * 2^40 bytes: more than any test machine has
        raise Refusal(Panic.type, re.compile(
            rf"Not enough memory for the marginal table of observe_mul: it needs {8 << b} bytes "
            r"and you have \d+ bytes of memory"))


def first_reach_possible(p: list[float], outcome: int) -> bool:
    """Whether some draw r in [0, 1) makes the first-reach scan stop at outcome
    (outcome 0 is always possible: it is also the fallback)."""
    if outcome == 0:
        return True
    s = 0.0
    for i in range(outcome):
        s = s + p[i]
    # The scan passes every earlier index when r > s, and stops here when r <= s + p.
    return s < 1.0 and s < s + p[outcome]


# -- what the fuzz reached -----------------------------------------------------------

@dataclass
class Stats:
    examples: int = 0
    cases: int = 0
    paths: Counter = field(default_factory=Counter)

    def record(self, exc: BaseException | None) -> None:
        self.cases += 1
        if exc is None:
            self.paths["returned"] += 1
            return
        # One path per type and message shape: figures vary, the words do not.
        shape = re.sub(r"\d+", "N", str(exc))
        self.paths[f"{type(exc).__name__}: {shape}"] += 1

    def summary_lines(self) -> list[str]:
        raised = [p for p in self.paths if p != "returned"]
        return [f"fuzz: {self.examples} examples, {self.cases} calls, "
                f"{len(raised)} distinct exception paths "
                f"({len({p.split(':')[0] for p in raised})} exception types)"]


STATS = Stats()

