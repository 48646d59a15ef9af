"""Random programs of constructor and method calls, with valid and invalid
arguments of every kind, checked call by call against fuzz_model: the same
exception type and message, the same hook calls, the same bits from
god_observe, an unchanged state after every refusal, and unchanged reference
counts of the register and the arguments.

CI runs a fixed, derandomized set of examples (profile "ci", conftest.py).
For a longer search: ZENTROVA_FUZZ_EXAMPLES=20000, or --hypothesis-profile=long.
"""

import gc
import math
import sys
from dataclasses import dataclass

from hypothesis import given
from hypothesis import strategies as st

import zentrova
from conftest import PanicException
from fuzz_model import (ANGLE, ENTRY, HOOK_ERRORS, INNER_CALLS, LIST, METHODS, PARAMS, QUBIT,
                        STATS, Arg, Behaviour, BoolArg, ComplexArg, ComplexLikeArg, Context,
                        FloatArg, FloatHookArg, IndexHookArg, IntArg, IntSubArg, Panic, Plain,
                        PLAIN_MAKERS, Reenter, Refusal, SeqArg, check_targets, construct, convert,
                        first_reach_possible, gate, match_args)
from model import (Model, collapse_observe, collapse_observe_mul, collapse_observe_one, hexes,
                   kahan, marginal_table)

QR = zentrova.QuantumRegister
Panic.type = PanicException

# -- strategies -------------------------------------------------------------------

small = st.integers(0, 5)
near_n = st.integers(-3, 1)  # n-3 .. n+1
huge_ints = st.sampled_from([2**63, 2**64 - 1, 2**64, -1, -2**63, 10**30])
reenter = st.none() | st.builds(Reenter, st.sampled_from(sorted(INNER_CALLS)), st.booleans())
raises = st.builds(Behaviour, st.just("raise"), st.sampled_from(sorted(HOOK_ERRORS)))

int_behaviour = st.one_of(
    st.builds(Behaviour, st.just("return"), small),
    st.builds(Behaviour, st.just("return"), near_n, st.just(True)),
    st.builds(Behaviour, st.just("return"), huge_ints),
    raises,
    st.builds(Behaviour, st.just("wrong"), st.sampled_from(["x", 1.5, None])),
)
float_behaviour = st.one_of(
    st.builds(Behaviour, st.just("return"), st.floats()),
    raises,
    st.builds(Behaviour, st.just("wrong"), st.sampled_from(["x", 1, None])),
)

qubit_good = (st.builds(IntArg, small) | st.builds(IntArg, near_n, st.just(True)))
qubit_odd = st.one_of(
    st.builds(IntArg, huge_ints),
    st.builds(BoolArg, st.booleans()),
    st.builds(IntSubArg, small) | st.builds(IntSubArg, near_n, st.just(True)),
    st.builds(IndexHookArg, int_behaviour, reenter),
)
qubit_any = qubit_good | qubit_odd

angle_good = st.builds(FloatArg, st.floats()) | st.builds(FloatArg, st.sampled_from(
    [0.0, -0.0, math.pi, -math.pi / 3, 1e-300, 5e-324, 1e300, math.inf, -math.inf, math.nan]))
angle_odd = st.one_of(
    st.builds(FloatArg, st.floats(), st.just(True)),
    st.builds(IntArg, st.integers(-10, 10)),
    st.builds(BoolArg, st.booleans()),
    st.builds(FloatHookArg, float_behaviour, reenter),
    st.builds(IndexHookArg, int_behaviour, reenter),
)

parts = st.sampled_from([0.0, -0.0, 1.0, -1.0, 0.5, 0.7071067811865476, 2.0]) | st.floats(-2, 2)
special_parts = st.sampled_from([math.nan, math.inf, -math.inf, 1e300, 5e-324])
entry_good = st.builds(ComplexArg, parts, parts)
entry_odd = st.one_of(
    st.builds(ComplexArg, parts | special_parts, parts | special_parts, st.booleans()),
    st.builds(ComplexLikeArg),
    st.builds(IntArg, small),
    st.builds(FloatArg, parts),
)

lengths = st.one_of(
    st.builds(Behaviour, st.just("return"), st.sampled_from([0, 1, 2**62, 2**64, -1])),
    raises,
    st.builds(Behaviour, st.just("wrong"), st.sampled_from(["x", 1.5])),
)


def seq_of(items):
    return st.builds(
        SeqArg, st.lists(items, max_size=4).map(tuple), lengths,
        st.sampled_from(["getitem", "iter", "iter raises", "iter wrong"]), reenter,
        st.sampled_from(["hook", "list", "list", "tuple"]))


def long_list(k, value):
    return SeqArg((value,) * k, Behaviour("return", k), container="list")


list_good = st.builds(SeqArg, st.lists(qubit_good, max_size=5).map(tuple),
                      st.just(Behaviour("return", 0)), st.just("getitem"), st.none(),
                      st.sampled_from(["list", "tuple"]))
list_odd = st.one_of(
    seq_of(qubit_good | qubit_odd),
    st.builds(long_list, st.sampled_from([40, 59, 60, 64]),
              st.sampled_from([IntArg(0), IntArg(-1, True)])),
)

plain = st.builds(Plain, st.sampled_from(sorted(PLAIN_MAKERS)))
anything = st.deferred(lambda: st.one_of(qubit_any, angle_good | angle_odd, entry_good | entry_odd,
                                         list_good | list_odd, plain))

GOOD = {QUBIT: qubit_good, ANGLE: angle_good, ENTRY: entry_good, LIST: list_good}
ODD = {QUBIT: qubit_odd, ANGLE: angle_odd, ENTRY: entry_odd, LIST: list_odd}


def arg_for(kind):
    # Mostly arguments of the right kind, so that the state keeps changing.
    return st.one_of(GOOD[kind], GOOD[kind], GOOD[kind], GOOD[kind], ODD[kind], anything)


# The constructor's count: small registers, or refusals that allocate nothing.
safe_n = st.sampled_from([0, 1, 2, 3, 4, 5, 40, 59, 60, 63, 64, 2**64 - 1, 2**64, -1])
n_any = st.one_of(
    st.builds(IntArg, safe_n), st.builds(IntArg, safe_n), st.builds(IntArg, safe_n),
    st.builds(BoolArg, st.booleans()), st.builds(IntSubArg, small),
    st.builds(IndexHookArg, st.one_of(st.builds(Behaviour, st.just("return"), safe_n), raises,
                                      st.builds(Behaviour, st.just("wrong"), st.just("x")))),
    st.builds(FloatArg, parts), entry_good, plain,
)


@dataclass(frozen=True)
class Call:
    method: str
    args: tuple[Arg, ...]
    kwargs: tuple[tuple[str, Arg], ...] = ()
    foreign_self: bool = False


@st.composite
def calls(draw, method, arg=arg_for):
    params = PARAMS[method] or []
    recipes = [draw(arg(kind)) for _, kind in params]
    names = [p for p, _ in params]
    form = draw(st.sampled_from(["positional"] * 6 + ["keywords"] * 3 +
                                ["too many", "unknown", "twice", "missing", "foreign"]))
    args, kwargs = list(recipes), []
    if form == "keywords" or form == "missing":
        split = draw(st.integers(0, len(recipes)))
        args = recipes[:split]
        rest = list(zip(names[split:], recipes[split:]))
        if form == "missing" and rest:
            rest = [kw for kw in rest if draw(st.booleans())] or rest[1:]
        kwargs = draw(st.permutations(rest)) if rest else []
    elif form == "too many":
        args.append(draw(anything))
    elif form == "unknown":
        kwargs = [("bogus", draw(anything))]
    elif form == "twice" and names:
        j = draw(st.integers(0, len(names) - 1))
        kwargs = [(names[j], draw(anything))]
    foreign = form == "foreign" and method != "__new__"
    return Call(method, tuple(args), tuple(kwargs), foreign)


step = st.sampled_from(METHODS).flatmap(calls)
programs = st.tuples(calls("__new__", lambda kind: n_any), st.integers(0, 5),
                     st.lists(step, min_size=1, max_size=12))


# -- running a call and its prediction --------------------------------------------------

def predict(call, ctx):
    """The model's conversions: the engine's operands, or raises Refusal."""
    method = call.method
    if call.foreign_self:
        raise Refusal(TypeError, f"descriptor '{method}' for 'builtins.QuantumRegister' objects "
                                 "doesn't apply to a 'object' object")
    placed_at = match_args(method, len(call.args), [k for k, _ in call.kwargs])
    keywords = dict(call.kwargs)
    placed = {p: call.args[i] if isinstance(i, int) else keywords[i]
              for p, i in placed_at.items()}
    return convert(method, placed, ctx)


def perform(target, call, ctx, expected):
    """Builds the arguments and makes the call; checks that it took or lost no
    reference to the register or an argument, and whether a raised exception
    is the expected one. Returns (result, None) or (None, (type, text, matched))."""
    args = [a.build(ctx) for a in call.args]
    kwargs = {k: a.build(ctx) for k, a in call.kwargs}
    watched = [*args, *kwargs.values()]
    if call.method != "__new__":
        watched.append(target)  # a new register holds its type, so the class is not watched
    # No collection in between: one could free garbage that held references.
    gc_was_on = gc.isenabled()
    gc.disable()
    try:
        return _counted_call(target, call, args, kwargs, watched, expected)
    finally:
        if gc_was_on:
            gc.enable()


def _counted_call(target, call, args, kwargs, watched, expected):
    counts = [sys.getrefcount(o) for o in watched]
    if call.method == "__new__":
        fn = QR
    elif call.foreign_self:
        fn = getattr(QR, call.method)
        args.insert(0, object())
    else:
        fn = getattr(target, call.method)
    try:
        result = fn(*args, **kwargs)
        raised = None
    except BaseException as exc:  # noqa: BLE001 - PanicException derives from BaseException
        STATS.record(exc)
        result = None
        raised = (type(exc), str(exc), expected is not None and expected.matches(exc))
    else:
        STATS.record(None)
    del fn
    # A gate hands the register back: that one reference is the result's.
    now = [sys.getrefcount(o) - (o is result and o is not None) for o in watched]
    assert now == counts, f"{call}: reference counts moved: {counts} -> {now}"
    return result, raised


def check_refusal(call, expected, raised, events, predicted_events):
    assert raised is not None, f"{call}: expected {expected!r}, the call returned"
    assert raised[2], f"{call}: expected {expected!r}, got {raised[0].__name__}({raised[1]!r})"
    assert events == predicted_events, call


def ket_value(ket, width):
    assert type(ket).__name__ == "PyDiracKet"
    text = repr(ket)
    assert text[0] == "|" and text[-1] == ">", text
    digits = text[1:-1]
    value = int(digits, 2)
    assert digits == (format(value, f"0{width}b") if width else "0"), (text, width)
    return value


def run_step(reg, model, n, call):
    predicted_ctx = Context(None, n)
    try:
        values = predict(call, predicted_ctx)
        expected = None
    except Refusal as r:
        values, expected = None, r

    method = call.method

    if expected is None and method in ("observe_one", "observe_mul") and values is not None:
        try:
            if method == "observe_one":
                check_targets(n, values[:1])
            else:
                check_targets(n, values[0])
        except Refusal as r:
            expected = r
    if expected is None and method not in ("observe", "observe_one", "observe_mul",
                                           "god_observe"):
        try:
            gate(model, method, values)
        except Refusal as r:
            expected = r

    ctx = Context(reg, n)
    result, raised = perform(reg, call, ctx, expected)
    if expected is not None:
        check_refusal(call, expected, raised, ctx.events, predicted_ctx.events)
        return

    assert raised is None, f"{call}: expected success, got {raised[0].__name__}({raised[1]!r})"
    assert ctx.events == predicted_ctx.events
    if method == "observe":
        probs = model.god_observe()
        value = ket_value(result, n)
        assert first_reach_possible(probs, value), (probs, value)
        collapse_observe(model, value)
    elif method == "observe_one":
        (target,) = values
        p1 = kahan(p for i, p in enumerate(model.god_observe()) if (i >> target) & 1)
        outcome = ket_value(result, 1)
        assert (p1 > 0.0) if outcome else not (p1 > 1.0 - 2**-53), (p1, outcome)
        collapse_observe_one(model, target, outcome)
    elif method == "observe_mul":
        (targets,) = values
        value = ket_value(result, len(targets))
        assert first_reach_possible(marginal_table(model, targets), value)
        collapse_observe_mul(model, targets, value)
    elif method == "god_observe":
        assert hexes(result) == hexes(model.god_observe())
    else:
        assert result is reg


def construct_register(call, fallback_n):
    ctx = Context(None, 0)
    try:
        (n,) = predict(call, ctx)
        construct(n)
        expected = None
    except Refusal as r:
        n, expected = None, r
    if expected is None:
        # Never build more than a few qubits by mistake: 6 .. 39 would allocate.
        assert n <= 5, n
    real_ctx = Context(None, 0)
    result, raised = perform(QR, call, real_ctx, expected)
    if expected is not None:
        check_refusal(call, expected, raised, real_ctx.events, ctx.events)
        return QR(fallback_n), fallback_n
    assert raised is None, f"{call}: expected a register, got {raised[0].__name__}({raised[1]!r})"
    assert type(result) is QR and real_ctx.events == ctx.events
    return result, n


@given(program=programs)
def test_calls_match_the_model(program):
    ctor, fallback_n, steps = program
    STATS.examples += 1
    reg, n = construct_register(ctor, fallback_n)
    model = Model(n)
    assert hexes(reg.god_observe()) == hexes(model.god_observe())
    for call in steps:
        run_step(reg, model, n, call)
        # After every call, returned or refused: the state is the model's, bit for bit.
        assert hexes(reg.god_observe()) == hexes(model.god_observe()), call
