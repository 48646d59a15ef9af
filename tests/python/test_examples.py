"""Runs each script in examples/, and the README's Python snippets, as a user
would, and checks the lines they print."""

import math
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"


def run(name: str, *args: str) -> str:
    done = subprocess.run(
        [sys.executable, str(EXAMPLES / name), *args], capture_output=True, text=True, timeout=120
    )
    assert done.returncode == 0 and done.stderr == "", done.stderr
    return done.stdout


def run_snippet(code: str) -> subprocess.CompletedProcess[str]:
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return done


def counts(text: str) -> dict[str, int]:
    return {m[1]: int(m[2]) for m in re.finditer(r"^\s+(\|[01]+>)\s+(\d+)", text, re.M)}


def test_bell_pair():
    out = run("bell_pair.py")
    assert "probabilities |00> |01> |10> |11>: [0.5000000000000001, 0.0, 0.0, 0.5000000000000001]" in out
    seen = counts(out)
    assert seen["|01>"] == seen["|10>"] == 0
    assert seen["|00>"] + seen["|11>"] == 4000
    assert 1600 < seen["|00>"] < 2400  # half of 4000, with over ten standard deviations of room
    assert "qubits disagreed in 0 shots" in out


def test_ghz():
    out = run("ghz.py")
    head, whole, subset = out.split(" measurements of ")
    assert head.splitlines() == [
        "2 of 1024 basis states have non-zero probability:",
        "  |0000000000>  0.5000000000000001",
        "  |1111111111>  0.5000000000000001",
        "200",
    ]
    for text, zeros, ones in ((whole, "|0000000000>", "|1111111111>"), (subset, "|000>", "|111>")):
        seen = counts(text)
        assert set(seen) <= {zeros, ones} and sum(seen.values()) == 200


def test_teleportation():
    out = run("teleportation.py").splitlines()
    assert out[-1] == "6 of 6 teleported states match the input"
    trials = out[:-1]
    assert len(trials) == 6 and all(line.endswith("  ok") for line in trials)
    for line in trials:
        p_in, p_out = re.search(r"P\(1\) in (\S+) out (\S+)", line).groups()
        # Printed to 12 places: equal values may still round to neighbouring digits.
        assert float(p_in) == pytest.approx(float(p_out), abs=2e-12)


def test_grover():
    out = run("grover.py")
    assert out.startswith("searching 4096 items for |101101110010>, 50 rounds\n")
    rounds = re.findall(r"^round +(\d+)  P\(marked\) = (\S+)  theory (\S+)", out, re.M)
    assert [int(r) for r, _, _ in rounds] == list(range(0, 51, 5))
    probs = [float(p) for _, p, _ in rounds]
    assert all(p == theory for _, p, theory in rounds)
    assert probs == sorted(probs) and probs[0] == pytest.approx(1 / 4096, rel=1e-3)
    assert probs[-1] > 0.9999
    assert re.search(r"^a measurement reads \|[01]{12}>$", out, re.M)


def test_qft():
    out = run("qft.py")
    assert "input:  period 8, basis states [1, 9, 17, 25, 33, 41, 49, 57]" in out
    peaks = re.findall(r"^  \|([01]{6})> = +(\d+)  (\S+)$", out, re.M)
    assert [(int(bits, 2), int(y)) for bits, y, _ in peaks] == [(y, y) for y in range(0, 64, 8)]
    assert {p for _, _, p in peaks} == {"0.125000000000000"}
    assert re.search(r"^  \S+  ok$", out.split("random product state")[1], re.M)


@pytest.mark.parametrize("start", [None, "spawn"])
def test_process_pool(start):
    out = run("process_pool.py", *([start] if start else [])).splitlines()
    assert re.fullmatch(f"36 tasks of 2500 shots, {start or '[a-z]+'} start method", out[0])
    assert out[-1] == "9 of 9 angles match the exact probabilities"
    rows = [re.fullmatch(r"theta (\d)pi/8  P\(\|11>\) (\S+)  sampled (\S+)  \S+ sd  ok", line)
            for line in out[1:-1]]
    assert [int(m[1]) for m in rows] == list(range(9))
    for m in rows:
        assert float(m[2]) == pytest.approx(math.sin(int(m[1]) * math.pi / 16) ** 2, abs=1e-6)


def test_readme_snippets():
    readme = (ROOT / "README.md").read_text()
    first, catch, *printing = re.findall(r"^```python\n(.*?)^```$", readme, re.M | re.S)
    assert len(printing) == 2  # the numpy read-out and the whole program
    for _ in range(4):
        lines = run_snippet(first).stdout.splitlines()
        assert lines[0] == "[0.0, 0.0, 0.0, 0.0, 0.5000000000000001, 0.0, 0.0, 0.5000000000000001]"
        whole, one, pair = lines[1:]
        # The ket lists qubit 2 first; observe_mul([2, 0]) shows qubits 2 and 0.
        assert whole in ("|100>", "|111>")
        assert one == f"|{whole[3]}>" and pair == f"|{whole[1]}{whole[3]}>"
    done = run_snippet(catch)
    assert done.stdout == "refused: target out of scope!\n[0.5000000000000001, 0.5000000000000001, 0.0, 0.0]\n"
    assert done.stderr.endswith(": target out of scope!\n")
    for snippet in printing:
        printed = re.search(r"^```python\n" + re.escape(snippet) + r"```\n\nprints\n\n```\n(.*?)^```$",
                            readme, re.M | re.S)
        assert printed and run_snippet(snippet).stdout == printed[1]


def test_sampling():
    out = run("sampling.py")
    rows = re.findall(r"^  (\|[01]{3}>) +(\d+) +\S+  (\S+)$", out, re.M)
    exact = {"|000>": "0.18", "|011>": "0.3200000000000001", "|101>": "0.3200000000000001",
             "|110>": "0.18"}
    assert [(ket, p) for ket, _, p in rows] == [(f"|{i:03b}>", exact.get(f"|{i:03b}>", "0.0"))
                                                 for i in range(8)]
    assert sum(int(c) for _, c, _ in rows) == 20000
    assert all(c == "0" for ket, c, _ in rows if ket not in exact)
    assert "counts agree with the probabilities" in out
    assert re.search(r"^[\d,]+ shots per second$", out, re.M)


def test_known_gates():
    out = run("known_gates.py").splitlines()
    assert out[-1] == "16 of 16 gates match their textbook matrices"
    verdicts = [line for line in out if not line.startswith(" ")][:-1]
    assert [v.split()[0] for v in verdicts] == [
        "Z", "Y", "S", "S-dagger", "T", "T-dagger", "phase(0.3)", "sqrt(X)", "CNOT",
        "CZ", "CY", "CP(0.3)", "CRx(0.7)", "CRy(0.7)", "CRz(0.7)", "Toffoli"]
    assert all(v.endswith("  ok") for v in verdicts)
