"""How arguments are matched and converted, and what each fault raises."""

import pytest

import zentrova
from conftest import PanicException

QR = zentrova.QuantumRegister


def message(exc_type, call):
    with pytest.raises(exc_type) as info:
        call()
    return str(info.value)


# -- argument lists -------------------------------------------------------

ARGUMENT_LIST_CASES = [
    (lambda r: QR(), "QuantumRegister.__new__() missing 1 required positional argument: 'n'"),
    (lambda r: QR(1, 2), "QuantumRegister.__new__() takes 1 positional arguments but 2 were given"),
    (lambda r: QR(m=1), "QuantumRegister.__new__() got an unexpected keyword argument 'm'"),
    (lambda r: QR(1, n=1), "QuantumRegister.__new__() got multiple values for argument 'n'"),
    (lambda r: r.h(), "QuantumRegister.h() missing 1 required positional argument: 'target'"),
    (lambda r: r.u(0, 1j, 1j),
     "QuantumRegister.u() missing 2 required positional arguments: 'u10' and 'u11'"),
    (lambda r: r.ccnot(),
     "QuantumRegister.ccnot() missing 3 required positional arguments: "
     "'control1', 'control2', and 'target'"),
    (lambda r: r.mcu(target=0),
     "QuantumRegister.mcu() missing 5 required positional arguments: "
     "'control', 'u00', 'u01', 'u10', and 'u11'"),
    (lambda r: r.h(0, target=1), "QuantumRegister.h() got multiple values for argument 'target'"),
    (lambda r: r.h(qubit=0), "QuantumRegister.h() got an unexpected keyword argument 'qubit'"),
    (lambda r: r.h(0, 1), "QuantumRegister.h() takes 1 positional arguments but 2 were given"),
    (lambda r: r.cnot(0, 1, 2),
     "QuantumRegister.cnot() takes 2 positional arguments but 3 were given"),
    (lambda r: r.observe_one(), "QuantumRegister.observe_one() missing 1 required positional argument: 'target'"),
    (lambda r: r.observe_mul(targets=[], extra=1),
     "QuantumRegister.observe_mul() got an unexpected keyword argument 'extra'"),
]


@pytest.mark.parametrize("call,text", ARGUMENT_LIST_CASES)
def test_argument_list_messages(call, text):
    assert message(TypeError, lambda: call(QR(2))) == text


def test_keywords_in_any_order():
    a = QR(2).cnot(target=1, control=0).god_observe()
    b = QR(2).cnot(control=0, target=1).god_observe()
    assert a == b
    reg = QR(n=3)
    assert reg.u(0, u11=1j, u10=0j, u01=0j, u00=1j) is reg
    assert reg.rx(theta=0.5, target=1) is reg


def test_no_argument_methods_use_the_interpreters_check():
    with pytest.raises(TypeError):
        QR(1).observe(1)
    with pytest.raises(TypeError):
        QR(1).god_observe(x=1)


def test_self_check():
    with pytest.raises(TypeError, match="is not an instance of 'QuantumRegister'|descriptor"):
        QR.h(object(), 0)


# -- conversions ------------------------------------------------------------

def test_qubit_index_conversion():
    assert message(OverflowError, lambda: QR(-1))
    assert message(TypeError, lambda: QR(1.0)).startswith("argument 'n': ")
    assert message(TypeError, lambda: QR("3")).startswith("argument 'n': ")
    reg = QR(2)
    assert reg.x(True) is reg  # bool is an int
    with pytest.raises(OverflowError):
        reg.x(2**64)
    with pytest.raises(OverflowError):
        reg.x(-1)
    with pytest.raises(ValueError, match=r"^\.\.\.$"):
        reg.x(2**64 - 1)  # converts, then the engine refuses it

    class Index:
        def __index__(self):
            return 1

    assert reg.x(Index()) is reg
    assert message(TypeError, lambda: reg.x(1.5)).startswith("argument 'target': ")


def test_errors_from_index_hooks_pass_unchanged():
    class Raises:
        def __index__(self):
            raise KeyError("mine")

    class Subclassed(TypeError):
        pass

    class RaisesSub:
        def __index__(self):
            raise Subclassed("not renamed")

    class Wrong:
        def __index__(self):
            return "x"

    reg = QR(1)
    with pytest.raises(KeyError):
        reg.x(Raises())
    assert message(Subclassed, lambda: reg.x(RaisesSub())) == "not renamed"
    assert message(TypeError, lambda: reg.x(Wrong())).startswith("argument 'target': ")


def test_rewrite_keeps_the_cause():
    class Chained:
        def __index__(self):
            try:
                raise KeyError("inner")
            except KeyError as e:
                raise TypeError("outer") from e

    with pytest.raises(TypeError) as info:
        QR(1).x(Chained())
    assert str(info.value) == "argument 'target': outer"
    assert isinstance(info.value.__cause__, KeyError)


def test_angle_conversion():
    reg = QR(1)
    assert reg.rx(0, 1) is reg
    assert QR(1).rx(0, 1).god_observe() == QR(1).rx(0, 1.0).god_observe()

    class F:
        def __float__(self):
            return 1.0

    assert QR(1).rx(0, F()).god_observe() == QR(1).rx(0, 1.0).god_observe()
    assert message(TypeError, lambda: reg.rx(0, "1")).startswith("argument 'theta': ")
    with pytest.raises(OverflowError):
        reg.rx(0, 10**400)


def test_matrix_entries_are_checked_as_a_group():
    reg = QR(1)
    assert (message(TypeError, lambda: reg.u(0, 1, 0, 0, 1))
            == "argument 'u00': 'int' object is not an instance of 'complex'")
    assert (message(TypeError, lambda: reg.u(0, 1j, 1.0, 2.0, 1j))
            == "argument 'u01': 'float' object is not an instance of 'complex'")
    assert (message(TypeError, lambda: reg.u(0, 1j, 1j, 1j, None))
            == "argument 'u11': 'None' is not an instance of 'complex'")
    assert (message(TypeError, lambda: reg.mcu([], 0, 1j, 1j, 1j, "x"))
            == "argument 'u11': 'str' object is not an instance of 'complex'")

    class C(complex):
        pass

    assert reg.u(0, C(1), 0j, 0j, 1 + 0j) is reg


def test_target_converted_before_matrix():
    reg = QR(1)
    with pytest.raises(OverflowError):
        reg.u(-1, 1, 1, 1, 1)


def test_index_list_conversion():
    reg = QR(2)
    assert (message(TypeError, lambda: reg.mcu(0, 1, 1j, 0j, 0j, 1j))
            == "argument 'control': 'int' object is not an instance of 'Sequence'")
    assert (message(TypeError, lambda: reg.mcu("01", 1, 1j, 0j, 0j, 1j))
            == "argument 'control': Can't extract `str` to `Vec`")
    assert (message(TypeError, lambda: reg.mcu({0}, 1, 1j, 0j, 0j, 1j))
            == "argument 'control': 'set' object is not an instance of 'Sequence'")
    assert (message(TypeError, lambda: reg.mcu(None, 1, 1j, 0j, 0j, 1j))
            == "argument 'control': 'None' is not an instance of 'Sequence'")
    assert (message(TypeError, lambda: reg.mcu((x for x in [0]), 1, 1j, 0j, 0j, 1j))
            == "argument 'control': 'generator' object is not an instance of 'Sequence'")
    with pytest.raises(OverflowError):
        reg.mcu([0, -1], 1, 1j, 0j, 0j, 1j)
    assert (message(TypeError, lambda: reg.mcu([0.5], 1, 1j, 0j, 0j, 1j))
            .startswith("argument 'control': "))
    for seq in ([0], (0,), b"\x00", range(1), bytearray(b"\x00")):
        assert reg.mcu(seq, 1, 0j, 1j, 1j, 0j) is reg


def test_index_list_len_is_only_a_hint():
    class Huge:
        def __len__(self):
            return 2**62

        def __getitem__(self, i):
            if i < 2:
                return i
            raise IndexError

    class BadLen:
        def __len__(self):
            raise RuntimeError("no length")

        def __getitem__(self, i):
            if i < 1:
                return 0
            raise IndexError

    reg = QR(3)
    assert reg.mcu(Huge(), 2, 0j, 1j, 1j, 0j) is reg
    assert reg.mcu(BadLen(), 2, 0j, 1j, 1j, 0j) is reg


def test_index_list_changed_by_an_item_reads_as_iteration_would():
    # An item's __index__ that grows or empties the list it stands in (and so
    # drops the list's reference to itself): the controls read are those a
    # for loop over the list would see.
    x_matrix = (0j, 1 + 0j, 1 + 0j, 0j)
    for change, tail, read, other in ((lambda lst: lst.append(2), [], [0, 2], [0]),
                                      (list.clear, [2], [0], [0, 2])):
        controls = []

        class Changing:
            def __index__(self):
                change(controls)
                return 0

        controls[:] = [Changing(), *tail]
        got = QR(3).x(0).mcu(controls, 1, *x_matrix).god_observe()
        assert got == QR(3).x(0).mcu(read, 1, *x_matrix).god_observe()
        assert got != QR(3).x(0).mcu(other, 1, *x_matrix).god_observe()


def test_interrupt_in_len_is_not_swallowed():
    class Interrupted:
        def __len__(self):
            raise KeyboardInterrupt

        def __getitem__(self, i):
            raise IndexError

    with pytest.raises(KeyboardInterrupt):
        QR(2).mcu(Interrupted(), 1, 1j, 0j, 0j, 1j)


def test_index_list_iteration_errors_propagate():
    class Broken:
        def __len__(self):
            return 3

        def __getitem__(self, i):
            raise ZeroDivisionError("item")

    with pytest.raises(ZeroDivisionError):
        QR(2).mcu(Broken(), 1, 1j, 0j, 0j, 1j)


# -- exclusive use ------------------------------------------------------------

def test_reentrant_call_sees_already_borrowed():
    reg = QR(2)
    seen = []

    class Reenter:
        def __index__(self):
            try:
                reg.x(0)
            except RuntimeError as e:
                seen.append(str(e))
            return 1

    before = reg.god_observe()
    assert reg.x(Reenter()) is reg
    assert seen == ["Already borrowed"]
    # Only the outer x(1) ran.
    assert reg.god_observe() == QR(2).x(1).god_observe() != before

    class Escape:
        def __index__(self):
            reg.h(0)
            return 0

    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        reg.x(Escape())
    assert reg.x(1) is reg  # the flag was given back


def test_register_usable_after_every_kind_of_error():
    reg = QR(2)
    faults = [
        (TypeError, lambda: reg.h()),
        (TypeError, lambda: reg.h(0.5)),
        (OverflowError, lambda: reg.h(-1)),
        (ValueError, lambda: reg.h(9)),
        (PanicException, lambda: reg.observe_one(9)),
    ]
    for exc, call in faults:
        with pytest.raises(exc):
            call()
        assert reg.h(0).h(0) is reg
