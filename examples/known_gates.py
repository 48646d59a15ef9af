"""The gates people know, built from u and mcu, each checked against its
textbook matrix.

zentrova's own gates are x, h, rx, ry, rz, cnot, swap, ccnot (Toffoli) and
csswap (Fredkin); every other gate is a call of u (one qubit) or mcu (a matrix
under a list of controls) with the matrix's four complex entries. CNOT and
Toffoli are checked here too, so that every row of the README's table is. The entries
below are exact doubles: e^(i*pi/4) is written with math.sqrt(0.5) in both
parts, the double nearest 1/sqrt(2), which cmath.exp(1j * math.pi / 4) misses
by one unit in the last place of its imaginary part.

Qubit order: a textbook writes a two-qubit gate's matrix over |control
target>, the control as the more significant digit. mcu([c], t, ...) puts the
control on qubit c and the target on qubit t; with c = 1 and t = 0 the kets
|q1 q0> run in the textbook's order.

Each gate is checked by state tomography: on two qubits prepared in an
uneven superposition, the gate is applied, then each qubit is turned by
nothing, h or rx(pi/2) (reading it along Z, X or Y) and god_observe gives the
probabilities; all nine combinations together fix the state up to its global
phase, so relative phases, interference and qubit order are all tested. A
plain Python model applies the textbook matrix to the same preparation and
turns, and the probabilities must agree to 1e-12. Two-qubit gates are checked
with the control on either qubit, Toffoli (on three qubits, 27 combinations of
turns) with its controls on the low and on the high qubits.
"""

import cmath
import itertools
import math
import sys

import zentrova

K = math.sqrt(0.5)  # 0.7071067811865476
PHI = 0.3  # the phase of phase(phi) and controlled-phase
THETA = 0.7  # the angle of the controlled rotations
C, S = math.cos(THETA / 2), math.sin(THETA / 2)
TOLERANCE = 1e-12

Matrix = list[list[complex]]
Entries = tuple[complex, complex, complex, complex]

# name: (textbook matrix, the entries u00, u01, u10, u11 to pass to u or mcu)
ONE_QUBIT: dict[str, tuple[Matrix, Entries]] = {
    "Z": ([[1, 0], [0, -1]], (1 + 0j, 0j, 0j, -1 + 0j)),
    "Y": ([[0, -1j], [1j, 0]], (0j, -1j, 1j, 0j)),
    "S": ([[1, 0], [0, 1j]], (1 + 0j, 0j, 0j, 1j)),
    "S-dagger": ([[1, 0], [0, -1j]], (1 + 0j, 0j, 0j, -1j)),
    "T": ([[1, 0], [0, cmath.exp(1j * math.pi / 4)]], (1 + 0j, 0j, 0j, complex(K, K))),
    "T-dagger": ([[1, 0], [0, cmath.exp(-1j * math.pi / 4)]], (1 + 0j, 0j, 0j, complex(K, -K))),
    "phase(0.3)": ([[1, 0], [0, cmath.exp(1j * PHI)]],
                   (1 + 0j, 0j, 0j, complex(math.cos(PHI), math.sin(PHI)))),
    "sqrt(X)": ([[(1 + 1j) / 2, (1 - 1j) / 2], [(1 - 1j) / 2, (1 + 1j) / 2]],
           (0.5 + 0.5j, 0.5 - 0.5j, 0.5 - 0.5j, 0.5 + 0.5j)),
}
TWO_QUBIT: dict[str, tuple[Matrix, Entries]] = {
    "CZ": ([[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0], [0, 0, 0, -1]],
           (1 + 0j, 0j, 0j, -1 + 0j)),
    "CY": ([[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 0, -1j], [0, 0, 1j, 0]], (0j, -1j, 1j, 0j)),
    "CP(0.3)": ([[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0], [0, 0, 0, cmath.exp(1j * PHI)]],
                (1 + 0j, 0j, 0j, complex(math.cos(PHI), math.sin(PHI)))),
    "CRx(0.7)": ([[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, C, -1j * S], [0, 0, -1j * S, C]],
                 (complex(C, 0), complex(0, -S), complex(0, -S), complex(C, 0))),
    "CRy(0.7)": ([[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, C, -S], [0, 0, S, C]],
                 (complex(C, 0), complex(-S, 0), complex(S, 0), complex(C, 0))),
    "CRz(0.7)": ([[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, cmath.exp(-0.35j), 0],
                  [0, 0, 0, cmath.exp(0.35j)]],
                 (complex(C, -S), 0j, 0j, complex(C, S))),
}

# name: (textbook matrix, zentrova's method), over |c t> and |c1 c2 t>.
CNOT: Matrix = [[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 0, 1], [0, 0, 1, 0]]
TOFFOLI: Matrix = [[1 if j == (i ^ 1 if i >= 6 else i) else 0 for j in range(8)] for i in range(8)]

H: Matrix = [[K, K], [K, -K]]


def rx(theta: float) -> Matrix:
    c, s = math.cos(theta / 2), math.sin(theta / 2)
    return [[c, -1j * s], [-1j * s, c]]


def ry(theta: float) -> Matrix:
    c, s = math.cos(theta / 2), math.sin(theta / 2)
    return [[c, -s], [s, c]]


def rz(theta: float) -> Matrix:
    return [[cmath.exp(-0.5j * theta), 0], [0, cmath.exp(0.5j * theta)]]


def apply(state: list[complex], matrix: Matrix, qubits: list[int]) -> list[complex]:
    """The model: `matrix` over `qubits`, listed as a textbook does, most
    significant first."""
    def local(i: int) -> int:
        return sum((i >> q & 1) << (len(qubits) - 1 - k) for k, q in enumerate(qubits))

    def spread(j: int) -> int:
        return sum((j >> (len(qubits) - 1 - k) & 1) << q for k, q in enumerate(qubits))

    mask = spread(len(matrix) - 1)
    return [sum(matrix[local(i)][j] * state[i & ~mask | spread(j)] for j in range(len(matrix)))
            for i in range(len(state))]


# An uneven superposition of every qubit, every amplitude non-zero with its
# own phase, made by zentrova's rotations (method, qubit, angle, model matrix).
PREPARE = [("ry", 0, 1.1, ry(1.1)), ("rz", 0, 0.4, rz(0.4)),
           ("ry", 1, 2.3, ry(2.3)), ("rz", 1, -0.7, rz(-0.7)),
           ("ry", 2, 0.6, ry(0.6)), ("rz", 2, 1.3, rz(1.3))]
# Reading a qubit along Z, X or Y: turn it so that axis becomes Z.
READ: dict[str, tuple[str, tuple[float, ...], Matrix] | None] = {"Z": None, "X": ("h", (), H), "Y": ("rx", (math.pi / 2,), rx(math.pi / 2))}


def largest_error(method: str, qubits: list[int], model_matrix: Matrix, entries: Entries | None) -> float:
    width = max(2, len(qubits))
    worst = 0.0
    for axes in itertools.product(READ, repeat=width):  # axes[q] for qubit q
        reg = zentrova.QuantumRegister(width)
        model: list[complex] = [1 + 0j] + [0j] * (2**width - 1)
        for name, q, angle, matrix in PREPARE:
            if q < width:
                getattr(reg, name)(q, angle)
                model = apply(model, matrix, [q])
        if entries is None:  # cnot(c, t), ccnot(c1, c2, t)
            getattr(reg, method)(*qubits)
        elif method == "u":
            reg.u(qubits[0], *entries)
        else:
            reg.mcu(qubits[:1], qubits[1], *entries)
        model = apply(model, model_matrix, qubits)
        for q, axis in enumerate(axes):
            turn = READ[axis]
            if turn:
                name, args, matrix = turn
                getattr(reg, name)(q, *args)
                model = apply(model, matrix, [q])
        got = reg.god_observe()
        worst = max([worst] + [abs(p - abs(a) ** 2) for p, a in zip(got, model)])
    return worst


def literal(z: complex) -> str:
    """z as one writes it in a call: 1+0j, -1j, 0.5-0.5j."""
    def num(x: float) -> str:
        return repr(x).removesuffix(".0")

    if z == 0:
        return "0j"
    if z.imag == 0:
        return f"{num(z.real)}+0j"
    if z.real == 0:
        return f"{num(z.imag)}j"
    return f"{num(z.real)}{'+' if z.imag > 0 else ''}{num(z.imag)}j"


def main() -> int:
    # In the README's order: name, method, placements of its qubits, matrix, entries.
    cases: list[tuple[str, str, list[list[int]], Matrix, Entries | None]]
    cases = [(name, "u", [[1], [0]], m, e) for name, (m, e) in ONE_QUBIT.items()]
    cases.append(("CNOT", "cnot", [[1, 0], [0, 1]], CNOT, None))
    cases += [(name, "mcu", [[1, 0], [0, 1]], m, e) for name, (m, e) in TWO_QUBIT.items()]
    cases.append(("Toffoli", "ccnot", [[2, 1, 0], [0, 1, 2]], TOFFOLI, None))
    heads = {"u": "q", "mcu": "[c], t", "cnot": "c, t", "ccnot": "c1, c2, t"}
    matched = 0
    for name, method, placements, matrix, entries in cases:
        worst = max(largest_error(method, qubits, matrix, entries) for qubits in placements)
        ok = worst < TOLERANCE
        matched += ok
        print(f"{name:<11} largest difference {worst:.0e}  {'ok' if ok else 'MISMATCH'}")
        arguments = [heads[method]] + [literal(e) for e in entries or ()]
        print(f"    {method}({', '.join(arguments)})")
    print(f"{matched} of {len(cases)} gates match their textbook matrices")
    return 0 if matched == len(cases) else 1


if __name__ == "__main__":
    sys.exit(main())
