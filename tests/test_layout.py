"""The layers of src/, checked on the sources themselves.

Each folder has a rank; a file may include headers of its own folder and of
lower ranks only, so includes run downward and no two folders include each
other. The engine (errors, sequence, faidx) never sees Python. Every slot
and method function of a binding runs its body under guarded(), so no C++
exception reaches the interpreter.
"""

import pathlib
import re

import pytest

SRC = pathlib.Path(__file__).resolve().parent.parent / "src"

# Bottom to top. The first three are the engine.
LAYERS = ["errors", "sequence", "faidx", "binding", "errors/py", "sequence/py", "faidx/py", "lib"]
ENGINE = {"errors", "sequence", "faidx"}

# Slots that run while an object is torn down or traversed; they call
# nothing that throws, and their protocols have no way to report an error.
UNGUARDED_SLOTS = {"tp_dealloc", "tp_traverse", "tp_clear"}
# Functions of the C API itself.
C_API = re.compile(r"^Py[A-Z]\w*$")

INCLUDE = re.compile(r'^\s*#\s*include\s+([<"])([^>"]+)[>"]', re.M)
SLOT = re.compile(r"\{\s*Py_(\w+)\s*,\s*slot\(\s*(\w+)")
TABLE = re.compile(r"Py(?:MethodDef|GetSetDef)\s+\w+\[\]\s*=\s*\{(.*?)\n\};", re.S)
TABLE_ENTRY = re.compile(r'\{\s*"[^"]*"\s*,\s*(?:method\(\s*)?(\w+)(?:<\w+>)?\)?\s*,\s*(\w+)?')


def layer_of(path):
    """The layer of a file under src/: its folder relative to src."""
    return path.parent.relative_to(SRC).as_posix()


def sources():
    return sorted(p for p in SRC.rglob("*") if p.suffix in {".h", ".cpp"})


def include_problems(layer, text):
    """Upward or sideways includes and Python headers in the engine."""
    problems = []
    rank = LAYERS.index(layer)
    for kind, header in INCLUDE.findall(text):
        if kind == "<":
            if layer in ENGINE and (header == "Python.h" or header.startswith("python") or header == "structmember.h"):
                problems.append(f"the engine includes <{header}>")
            continue
        target = str(pathlib.PurePosixPath(header).parent)
        if target not in LAYERS:
            problems.append(f'"{header}" is in no layer')
        elif LAYERS.index(target) > rank:
            problems.append(f'"{header}" ({target}) is above {layer}')
    return problems


def called_functions(text):
    """(slot or None, function) for each function a type's tables name."""
    found = [(slot, fn) for slot, fn in SLOT.findall(text)]
    for table in TABLE.findall(text):
        for first, second in TABLE_ENTRY.findall(table):
            found.append((None, first))
            if second and second != "nullptr" and not second.startswith("METH_"):
                found.append((None, second))
    return found


def body_of(text, name):
    """The text after the opening brace of the definition of name, or None."""
    definition = re.compile(r"^[^\n;{}]*\b" + re.escape(name) + r"\s*\([^;{]*\)\s*(?:noexcept\s*)?\{", re.M)
    match = definition.search(text)
    return None if match is None else text[match.end() :]


def guard_problems(text, definitions=None):
    """Functions the tables of text name that do not run under guarded();
    their definitions are looked for in `definitions` (default: text)."""
    problems = []
    for slot, fn in called_functions(text):
        if slot in UNGUARDED_SLOTS or C_API.match(fn):
            continue
        body = body_of(definitions or text, fn)
        if body is None:
            problems.append(f"{fn}: no definition found")
        elif not re.match(r"\s*return\s+guarded\(", body):
            problems.append(f"{fn} does not run its body under guarded()")
    return problems


@pytest.mark.parametrize("path", sources(), ids=lambda p: str(p.relative_to(SRC)))
def test_includes_run_downward_and_the_engine_never_sees_python(path):
    assert layer_of(path) in LAYERS, "a folder with no place in the layers"
    assert include_problems(layer_of(path), path.read_text()) == []


@pytest.mark.parametrize("path", [p for p in sources() if layer_of(p) not in ENGINE], ids=lambda p: p.name)
def test_every_slot_and_method_runs_under_guarded(path):
    bindings = "\n".join(p.read_text() for p in sources() if layer_of(p) not in ENGINE)
    assert guard_problems(path.read_text(), bindings) == []


def test_the_tables_are_found():
    """The checks above look at something: every class's table is seen."""
    names = {fn for p in sources() for _, fn in called_functions(p.read_text())}
    for expected in ["Faidx_fetch", "Fasta_subscript", "Sequence_get_seq", "Sequence_set_comp", "Iterator_next"]:
        assert expected in names


# The checker on sources that break each rule.


def test_checker_refuses_an_upward_include():
    assert include_problems("faidx", '#include "faidx/py/faidx_py.h"\n')
    assert include_problems("binding", '#include "errors/py/raise.h"\n')
    assert include_problems("errors/py", '#include "sequence/py/sequence_py.h"\n')
    assert include_problems("lib", '#include "faidx/py/batch_py.h"\n#include "binding/pyref.h"\n') == []


def test_checker_refuses_python_in_the_engine():
    assert include_problems("sequence", "#include <Python.h>\n")
    assert include_problems("faidx", "#include <structmember.h>\n")
    assert include_problems("binding", "#include <Python.h>\n") == []


def test_checker_refuses_an_unguarded_slot():
    text = """
PyObject* Thing_repr(PyObject* self) {
  return PyUnicode_FromString("thing");
}
PyObject* Thing_str(PyObject* self) {
  return guarded([&] { return PyUnicode_FromString("thing"); });
}
void Thing_dealloc(PyObject* self) { free_object(self); }
PyType_Slot Thing_slots[] = {
    {Py_tp_repr, slot(Thing_repr)},
    {Py_tp_str, slot(Thing_str)},
    {Py_tp_dealloc, slot(Thing_dealloc)},
    {0, nullptr},
};
"""
    assert guard_problems(text) == ["Thing_repr does not run its body under guarded()"]


def test_checker_refuses_an_unguarded_method_and_getter():
    text = """
PyObject* Thing_go(PyObject* self, PyObject*) { return nullptr; }
PyObject* Thing_get_x(PyObject* self, void*) { return nullptr; }
PyMethodDef Thing_methods[] = {
    {"go", Thing_go, METH_NOARGS, "go($self)"},
    {nullptr, nullptr, 0, nullptr},
};
PyGetSetDef Thing_getset[] = {
    {"x", Thing_get_x, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
"""
    assert len(guard_problems(text)) == 2
