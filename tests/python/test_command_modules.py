"""The command's modules stand alone: each imports by itself in a fresh
interpreter (no import loop hidden behind an import inside a function),
and the only imports inside functions are of optional dependencies,
imported where a feature that needs them is used."""

import ast
import subprocess
import sys
from pathlib import Path

import pytest

PACKAGE = Path(__file__).resolve().parents[2] / "src" / "mendseqs_cli"
MODULES = sorted(path.stem for path in PACKAGE.glob("*.py") if path.stem != "__main__")
# Installed or not, the command works without them (pyproject's extras,
# Debian's python3-pysam, python3-matplotlib).
OPTIONAL = {"isal", "dnaio", "tqdm", "pysam", "matplotlib", "matplotlib.pyplot"}


def test_each_module_imports_alone_in_a_fresh_interpreter():
    code = "import importlib, sys\nimportlib.import_module('mendseqs_cli.' + sys.argv[1])"
    failed = {}
    for name in MODULES:
        run = subprocess.run([sys.executable, "-c", code, name], capture_output=True, text=True)
        if run.returncode != 0:
            failed[name] = run.stderr.strip().splitlines()[-1:]
    assert not failed


@pytest.mark.parametrize("name", MODULES)
def test_no_import_inside_a_function_but_of_an_optional_dependency(name):
    tree = ast.parse((PACKAGE / f"{name}.py").read_text())
    inside = []
    for function in ast.walk(tree):
        if not isinstance(function, ast.FunctionDef | ast.AsyncFunctionDef):
            continue
        for node in ast.walk(function):
            if isinstance(node, ast.Import):
                inside += [alias.name for alias in node.names if alias.name not in OPTIONAL]
            elif isinstance(node, ast.ImportFrom) and (node.level or node.module not in OPTIONAL):
                inside.append("." * node.level + (node.module or ""))
    assert not inside, f"{name}.py imports {inside} inside a function"


def test_no_command_module_runs_past_three_hundred_lines():
    long = {path.name: n for path in PACKAGE.glob("*.py") if (n := len(path.read_text().splitlines())) > 300}
    assert not long
