"""The module entry: registration, __all__, one module per process."""

import ctypes
import subprocess
import sys
import textwrap

import gelvo
import pytest

NAMES = ["Fasta", "Faidx", "Sequence", "FastaRecord", "FastaIterator", "SequenceIterator", "MutableFastaRecord"]


def test_all_lists_the_classes_in_registration_order():
    assert gelvo.__all__ == NAMES
    public = [name for name in vars(gelvo) if not name.startswith("__")]
    assert public == NAMES
    for name in NAMES:
        cls = getattr(gelvo, name)
        assert isinstance(cls, type)
        assert cls.__name__ == name and cls.__module__ == "gelvo"
    assert gelvo.__doc__ and "\n" not in gelvo.__doc__.strip()


def test_init_function_returns_the_same_module_again():
    lib = ctypes.PyDLL(gelvo.__file__)
    init = lib.PyInit_gelvo
    init.restype = ctypes.py_object
    assert init() is init()
    assert init().Faidx is init().Faidx


def test_reimport_keeps_the_classes():
    code = textwrap.dedent(
        """
        import sys, gelvo
        first = gelvo
        del sys.modules["gelvo"]
        import gelvo as again
        assert again.Faidx is first.Faidx and again.__all__ == first.__all__
        print("ok")
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "ok"


def test_second_interpreter_is_refused():
    pytest.importorskip("_interpreters", reason="no sub-interpreter API")
    code = textwrap.dedent(
        """
        import _interpreters, gelvo
        interp = _interpreters.create("legacy")
        error = _interpreters.exec(interp, "import gelvo")
        print(error.type.__name__ if error else "imported")
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert out.stdout.strip() == "ImportError", out.stderr
