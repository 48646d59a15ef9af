"""A variational eigensolver in PennyLane on zentrova.qubit: the ground energy of a 4-spin
transverse-field Ising chain, found by gradient descent with parameter-shift gradients.
The same optimisation runs on PennyLane's default.qubit, step by step: every gradient and
energy must agree to rounding, and the final energy must approach the exact ground energy.
Needs `pip install "zentrova[pennylane]"`."""

import pennylane as qml
from pennylane import numpy as pnp

N = 4
STEPS = 30
RATE = 0.15

# H = -sum Z_i Z_(i+1) - 0.8 sum X_i on an open chain.
hamiltonian = qml.Hamiltonian(
    [-1.0] * (N - 1) + [-0.8] * N,
    [qml.Z(i) @ qml.Z(i + 1) for i in range(N - 1)] + [qml.X(i) for i in range(N)],
)


def ansatz(params):
    for layer in params:
        for w in range(N):
            qml.RY(layer[w, 0], wires=w)
            qml.RZ(layer[w, 1], wires=w)
        for w in range(N - 1):
            qml.CNOT(wires=[w, w + 1])


def energy_on(device_name):
    dev = qml.device(device_name, wires=N)

    @qml.qnode(dev, diff_method="parameter-shift")
    def energy(params):
        ansatz(params)
        return qml.expval(hamiltonian)

    return energy


def main():
    zen, ref = energy_on("zentrova.qubit"), energy_on("default.qubit")
    grad_zen, grad_ref = qml.grad(zen), qml.grad(ref)
    params = pnp.array(pnp.random.default_rng(7).uniform(0, 0.4, size=(2, N, 2)), requires_grad=True)
    worst = 0.0
    for step in range(STEPS + 1):
        e, g = zen(params), grad_zen(params)
        e_ref, g_ref = ref(params), grad_ref(params)
        worst = max(worst, abs(float(e - e_ref)), float(pnp.max(abs(g - g_ref))))
        if step % 10 == 0:
            print(f"step {step:2d}  energy {float(e):.8f}  default.qubit {float(e_ref):.8f}")
        params = params - RATE * g
    exact = float(min(pnp.linalg.eigvalsh(qml.matrix(hamiltonian))))
    print(f"exact ground energy {exact:.8f}, reached {float(e):.8f}")
    print(f"largest difference from default.qubit over {STEPS + 1} energies and gradients: {worst:.1e}")
    ok = worst < 1e-10 and float(e) - exact < 0.05
    print("energies and gradients match default.qubit" if ok else "MISMATCH")
    raise SystemExit(0 if ok else 1)


if __name__ == "__main__":
    main()
