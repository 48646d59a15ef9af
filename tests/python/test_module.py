"""The module's surface: attributes, the two types and PanicException."""

import gc
import re
import sys
import weakref

import pytest

import zentrova
from conftest import PanicException

QR = zentrova.QuantumRegister
Ket = zentrova.PyDiracKet

METHODS = {
    "observe": "($self)",
    "observe_one": "($self, target)",
    "observe_mul": "($self, targets)",
    "god_observe": "($self)",
    "x": "($self, target)",
    "h": "($self, target)",
    "u": "($self, target, u00, u01, u10, u11)",
    "cnot": "($self, control, target)",
    "ccnot": "($self, control1, control2, target)",
    "rz": "($self, target, theta)",
    "rx": "($self, target, theta)",
    "ry": "($self, target, theta)",
    "swap": "($self, q1, q2)",
    "csswap": "($self, control, target_1, target_2)",
    "mcu": "($self, control, target, u00, u01, u10, u11)",
}


def test_module_attributes():
    assert zentrova.__all__ == ["QuantumRegister", "PyDiracKet"]
    assert type(zentrova.__all__) is list
    assert zentrova.__doc__ == ""
    public = {k for k in vars(zentrova) if not k.startswith("__")}
    assert public == {"QuantumRegister", "PyDiracKet"}
    assert not hasattr(zentrova, "PanicException")


def test_types_names_and_flags():
    for cls, name in ((QR, "QuantumRegister"), (Ket, "PyDiracKet")):
        assert cls.__module__ == "builtins"
        assert cls.__name__ == name and cls.__qualname__ == name
        assert cls.__bases__ == (object,)
        assert not cls.__flags__ & (1 << 10)  # BASETYPE
        assert not cls.__flags__ & (1 << 14)  # HAVE_GC
        assert cls.__flags__ & (1 << 9)  # HEAPTYPE
        assert "__dict__" not in dir(cls) and cls.__weakrefoffset__ == 0
    assert not QR.__flags__ & (1 << 7)  # DISALLOW_INSTANTIATION
    assert Ket.__flags__ & (1 << 7)
    assert QR.__text_signature__ == "(n)"
    assert Ket.__doc__ is None


def test_method_table():
    assert [k for k in vars(QR) if not k.startswith("__")] == list(METHODS)
    for name, sig in METHODS.items():
        method = getattr(QR, name)
        assert method.__text_signature__ == sig, name
        assert method.__doc__ is None, name


def test_refuses_subclassing_and_instantiating_kets():
    for cls in (QR, Ket):
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
    with pytest.raises(TypeError):
        Ket()


def test_instances_have_no_dict_or_weakrefs():
    reg = QR(1)
    with pytest.raises(AttributeError):
        reg.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(reg)
    assert repr(reg).startswith("<builtins.QuantumRegister object at ")
    assert reg == reg and reg != QR(1)
    assert hash(reg) == hash(reg)


def test_panic_exception():
    assert PanicException.__name__ == "PanicException"
    assert PanicException.__module__ == "pyo3_runtime"
    assert PanicException.__bases__ == (BaseException,)
    assert not issubclass(PanicException, Exception)
    assert "BaseException" in PanicException.__doc__
    with pytest.raises(BaseException) as info:
        try:
            QR(61)
        except Exception:  # must not catch it
            pytest.fail("PanicException was caught as an Exception")
    assert type(info.value) is PanicException
    assert info.value.args == ("capacity overflow",)
    assert str(info.value) == "capacity overflow"


def test_fatal_error_is_reported_on_stderr(capfd):
    with pytest.raises(PanicException):
        QR(62)
    err = capfd.readouterr().err
    # The source file is named from the project's root, never from the folder
    # the module was built in.
    assert re.fullmatch(
        r"zentrova: fatal error on thread \d+ at core/qubit/register\.cpp:\d+: capacity overflow\n",
        err), err


def test_reimport_reuses_types():
    del sys.modules["zentrova"]
    again = __import__("zentrova")
    try:
        assert again.QuantumRegister is QR
        assert again.PyDiracKet is Ket
        assert again is not zentrova
    finally:
        sys.modules["zentrova"] = zentrova
    gc.collect()
