"""The type stubs: mypy --strict over the examples and typing_cases.py, the
cases' run-time behaviour, and the stubs' signatures against the module's."""

import ast
import builtins
import inspect
import os
import pydoc
import re
import subprocess
import sys
from pathlib import Path

import pytest

import zentrova

ROOT = Path(__file__).resolve().parents[2]
STUB = ROOT / "python" / "zentrova.pyi"
CASES = Path(__file__).with_name("typing_cases.py")
# The plugins' examples need their extras (Qiskit, PennyLane, Cirq), which this
# environment lacks; each plugin's own tests run them.
EXAMPLES = sorted(p for p in (ROOT / "examples").glob("*.py")
                  if not p.name.startswith(("qiskit_", "pennylane_", "cirq_")))
MODULE_DIR = Path(zentrova.__file__).parent
INSTALLED_STUBS = MODULE_DIR / "zentrova-stubs" / "__init__.pyi"

QR = zentrova.QuantumRegister
ERROR = re.compile(r"^(?P<path>.+?):(?P<line>\d+): error: .*\[(?P<code>[a-z-]+)\]$")


def run_mypy(cwd: Path, *args: str) -> subprocess.CompletedProcess[str]:
    env = dict(os.environ)
    if not INSTALLED_STUBS.exists():
        # zentrova comes from a build tree, not an installed wheel: use the source stub.
        env["MYPYPATH"] = str(STUB.parent)
    # Run away from the tree, so no config file or stray module there is picked up.
    return subprocess.run(
        [sys.executable, "-m", *args], cwd=cwd, env=env, capture_output=True, text=True, timeout=300
    )


@pytest.fixture(scope="module")
def mypy_errors(tmp_path_factory: pytest.TempPathFactory) -> dict[tuple[str, int], set[str]]:
    """One mypy run over every checked file: {(file name, line): error codes}."""
    files = [str(p) for p in (*EXAMPLES, CASES)]
    run = run_mypy(
        tmp_path_factory.mktemp("mypy"), "mypy", "--strict", "--cache-dir", os.devnull, *files
    )
    errors: dict[tuple[str, int], set[str]] = {}
    for line in run.stdout.splitlines():
        if m := ERROR.match(line):
            errors.setdefault((Path(m["path"]).name, int(m["line"])), set()).add(m["code"])
    assert run.returncode in (0, 1) and "error:" not in run.stderr, run.stdout + run.stderr
    assert run.returncode == (1 if errors else 0), run.stdout
    return errors


@pytest.mark.parametrize("module", ["zentrova", "zentrova_readout", "zentrova_gradients", "zentrova_program"])
def test_installed_stubs_are_the_source_stub(module):
    if not INSTALLED_STUBS.exists():
        pytest.skip(f"zentrova imported from a build tree ({MODULE_DIR}), not an installed wheel")
    source = (STUB.parent / f"{module}.pyi").read_bytes()
    assert (MODULE_DIR / f"{module}.pyi").read_bytes() == source
    assert (MODULE_DIR / f"{module}-stubs" / "__init__.pyi").read_bytes() == source


def test_examples_pass_mypy_strict(mypy_errors):
    assert EXAMPLES
    names = {p.name for p in EXAMPLES}
    assert {k: v for k, v in mypy_errors.items() if k[0] in names} == {}


def case_lines() -> list[tuple[int, str]]:
    return list(enumerate(CASES.read_text().splitlines(), start=1))


def test_each_mistake_is_reported_and_nothing_else(mypy_errors):
    expected = {}
    for number, text in case_lines():
        if m := re.search(r"#.*\bmypy: ([a-z-]+)", text):
            expected[(CASES.name, number)] = {m[1]}
    assert len(expected) >= 20
    reported = {k: v for k, v in mypy_errors.items() if k[0] == CASES.name}
    assert reported == expected


def split_cases() -> tuple[list[ast.stmt], list[tuple[ast.stmt, str]]]:
    """Set-up statements, and each case statement with the exception it raises."""
    lines = CASES.read_text().splitlines()
    setup, cases = [], []
    for stmt in ast.parse(CASES.read_text()).body:
        if m := re.search(r"#.*\braises: (\w+)", lines[stmt.lineno - 1]):
            cases.append((stmt, m[1]))
        else:
            setup.append(stmt)
    return setup, cases


def test_cases_do_at_run_time_what_their_comment_says():
    setup, cases = split_cases()
    namespace: dict[str, object] = {}
    exec(compile(ast.Module(setup, []), str(CASES), "exec"), namespace)
    for stmt, raises in cases:
        scope = dict(namespace, reg=QR(3))
        code = compile(ast.Module([stmt], []), str(CASES), "exec")
        where = f"line {stmt.lineno}: {ast.unparse(stmt)}"
        if raises == "none":
            exec(code, scope)
            continue
        with pytest.raises(getattr(builtins, raises)) as info:
            exec(code, scope)
        assert type(info.value).__name__ == raises, where


def stub_classes() -> dict[str, dict[str, ast.FunctionDef]]:
    tree = ast.parse(STUB.read_text())
    return {
        cls.name: {f.name: f for f in cls.body if isinstance(f, ast.FunctionDef)}
        for cls in tree.body
        if isinstance(cls, ast.ClassDef)
    }


def test_stub_signatures_match_the_module():
    classes = stub_classes()
    assert set(classes) == {"QuantumRegister", "PyDiracKet"}
    for name, methods in classes.items():
        runtime = getattr(zentrova, name)
        public = {m for m in vars(runtime) if not m.startswith("_")}
        assert {m for m in methods if not m.startswith("_")} == public, name
        for method, func in methods.items():
            args = func.args
            # Every parameter is required and may be given by position or keyword.
            assert not (args.posonlyargs or args.kwonlyargs or args.vararg or args.kwarg), method
            assert not args.defaults, method
            stub_names = [a.arg for a in args.args]
            if method == "__new__":
                assert stub_names[0] == "cls"
                runtime_sig = inspect.signature(runtime)
                assert list(runtime_sig.parameters) == stub_names[1:]
            elif method == "__repr__":
                assert stub_names == ["self"]
            else:
                params = inspect.signature(getattr(runtime, method)).parameters
                assert list(params) == stub_names, method
                kinds = [p.kind for p in params.values()]
                assert kinds[1:] == [inspect.Parameter.POSITIONAL_OR_KEYWORD] * (len(kinds) - 1)
                assert all(p.default is inspect.Parameter.empty for p in params.values())
    assert len(classes["QuantumRegister"]) == 16  # __new__ and the fifteen methods


@pytest.mark.parametrize("module", ["zentrova", "zentrova_readout", "zentrova_gradients", "zentrova_program"])
def test_stubtest_finds_no_difference_from_the_module(tmp_path, module):
    # mypy's own comparison of the stub with the imported module: names, kinds,
    # defaults, what is missing on either side.
    run = run_mypy(tmp_path, "mypy.stubtest", "--mypy-config-file", os.devnull, module)
    assert run.returncode == 0, run.stdout + run.stderr


def test_help_and_signature_name_the_parameters():
    assert list(inspect.signature(QR.h).parameters) == ["self", "target"]
    assert str(inspect.signature(QR(1).h)) == "(target)"
    assert str(inspect.signature(QR)) == "(n)"
    # CPython writes the descriptor's self as positional-only: "h(self, /, target)".
    assert re.search(r"\bh\(self, (/, )?target\)", pydoc.render_doc(QR.h))
