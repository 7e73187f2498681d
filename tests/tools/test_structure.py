"""scripts/structure.py on the Python of a planted tools/ folder: an import
cycle inside a package (absolute, relative and function-level imports) and a
function over the limit fail it; the same tree without them passes."""
import pathlib
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "scripts"))
import structure  # noqa: E402


def body(indent: str) -> str:
    """One line more than the limit allows, with the def line."""
    return "\n".join(f"{indent}x{n} = {n}" for n in range(structure.LIMIT)) + "\n"


@pytest.mark.parametrize("fault", ["none", "absolute", "relative", "in_function", "long", "long_method"])
def test_python_cycles_and_long_functions(tmp_path, fault):
    package = tmp_path / "tools" / "ops"
    package.mkdir(parents=True)
    (package / "__init__.py").write_text("")
    (package / "low.py").write_text("import json\n")
    back = {"absolute": "from ops import high\n", "relative": "from .high import main\n",
            "in_function": "def late():\n    import ops.high\n"}.get(fault, "")
    (package / "mid.py").write_text("from ops import low\n" + back)
    (package / "high.py").write_text("from ops.mid import low\n\n\ndef main():\n    pass\n")
    if fault == "long":
        (tmp_path / "tools" / "loose.py").write_text("def main():\n" + body("    "))
    elif fault == "long_method":
        (package / "low.py").write_text("class Low:\n    def run(self):\n" + body("        "))

    found_cycles = structure.cycles(structure.python_imports(tmp_path))
    long = structure.python_long_functions(tmp_path)
    assert bool(found_cycles) == (fault in ("absolute", "relative", "in_function"))
    assert bool(long) == fault.startswith("long")
    assert structure.report_python(tmp_path) == (fault != "none")
