"""Calls checked by mypy --strict against zentrova's stubs (see test_typing.py).

Each statement after the set-up is one case. A `mypy: CODE` comment marks a
mistake that mypy must report on that line with that error code; a line with
none must pass. `raises: NAME` says what the statement does at run time, so the
stubs are held to what the module really accepts and refuses. Not a test module
itself: pytest does not collect it, and running it stops at the first mistake.
"""

import array

import zentrova
import zentrova_readout

reg = zentrova.QuantumRegister(3)


class Index:
    def __index__(self) -> int:
        return 1


class Angle:
    def __float__(self) -> float:
        return 0.5


class MyComplex(complex):
    pass


# Accepted by the module, so the stubs must accept them too.
reg.h(True).x(Index()).cnot(target=1, control=0).swap(q1=0, q2=2)  # raises: none
reg.rx(0, 1).ry(1, Angle()).rz(2, Index())  # raises: none
reg.u(0, MyComplex(1), 0j, 0j, 1 + 0j)  # raises: none
reg.mcu((0, Index()), 2, 1 + 0j, 0j, 0j, -1 + 0j).mcu(range(0), 0, 0j, 1 + 0j, 1 + 0j, 0j)  # raises: none
probabilities: list[float] = reg.god_observe()  # raises: none
ket_text: str = repr(reg.observe_mul(range(3))) + repr(reg.observe_one(0)) + str(reg.observe())  # raises: none
copy: zentrova_readout.ProbabilityBuffer = zentrova_readout.probabilities(reg)  # raises: none
filled: array.array[float] = zentrova_readout.probabilities(reg, out=array.array("d", bytes(64)))  # raises: none
amplitude_count: int = len(zentrova_readout.amplitudes(reg))  # raises: none

# Mistakes.
reg.u(0, 1, 0, 0, 1)  # mypy: arg-type  raises: TypeError
reg.mcu([0], 1, 1.0, 0j, 0j, 1 + 0j)  # mypy: arg-type  raises: TypeError
reg.h("0")  # mypy: arg-type  raises: TypeError
zentrova_readout.probabilities(3)  # mypy: call-overload  raises: TypeError
zentrova_readout.amplitudes(reg, [0j] * 8)  # mypy: call-overload  raises: TypeError
reg.h(0.0)  # mypy: arg-type  raises: TypeError
zentrova.QuantumRegister(2.0)  # mypy: arg-type  raises: TypeError
reg.rx(0, 1j)  # mypy: arg-type  raises: TypeError
reg.rx(0, "1")  # mypy: arg-type  raises: TypeError
reg.rx(0)  # mypy: call-arg  raises: TypeError
reg.h(qubit=0)  # mypy: call-arg  raises: TypeError
reg.swap(0, 1, 2)  # mypy: call-arg  raises: TypeError
reg.observe(0)  # mypy: call-arg  raises: TypeError
reg.mcu(0, 1, 1 + 0j, 0j, 0j, 1 + 0j)  # mypy: arg-type  raises: TypeError
reg.observe_mul("01")  # mypy: arg-type  raises: TypeError
reg.observe_mul({0, 1})  # mypy: arg-type  raises: TypeError
reg.observe_one(0).h(0)  # mypy: attr-defined  raises: AttributeError
zentrova.PyDiracKet.observe  # mypy: attr-defined  raises: AttributeError
zentrova.PanicException  # mypy: attr-defined  raises: AttributeError
bits: list[int] = reg.god_observe()  # mypy: assignment  raises: none
outcome: str = reg.observe()  # mypy: assignment  raises: none
count: int = reg.observe_one(0)  # mypy: assignment  raises: none
nothing: None = reg.h(0)  # mypy: assignment  raises: none
class Sub(zentrova.QuantumRegister): ...  # mypy: misc  raises: TypeError
