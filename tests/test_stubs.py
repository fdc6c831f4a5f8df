"""The type stubs (gelvo-stubs/__init__.pyi) against the compiled module.

stubtest (run by scripts/test.sh) checks the stubs as a type checker reads
them; these tests add what it leaves out: parameter names, kinds and defaults
compared with every __text_signature__, read-only versus writable attributes,
the types of attribute values, and that an installed gelvo ships the stubs.
"""

import ast
import inspect
import pathlib
import subprocess
import sys
import textwrap
import types

import gelvo
import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
STUB_DIR = ROOT / "gelvo-stubs"
STUB = ast.parse((STUB_DIR / "__init__.pyi").read_text())
ALLOWLISTED = {
    line.strip()
    for line in (STUB_DIR / "allowlist.txt").read_text().splitlines()
    if line.strip() and not line.startswith("#")
}
CLASSES = {node.name: node for node in STUB.body if isinstance(node, ast.ClassDef)}
P = inspect.Parameter
NO_DEFAULT = P.empty
# Runtime slots the stubs leave to object's own stub (__repr__, __str__) or
# leave out because the slot always answers NotImplemented, so that a type
# checker reports the TypeError that ordering raises.
UNDECLARED_SLOTS = {"__new__", "__repr__", "__str__", "__lt__", "__le__", "__gt__", "__ge__"}


def functions(cls_name):
    return {n.name: n for n in CLASSES[cls_name].body if isinstance(n, ast.FunctionDef)}


def is_property(fn):
    return any(isinstance(d, ast.Name) and d.id == "property" for d in fn.decorator_list)


def stub_methods():
    return [(c, f) for c in CLASSES for f, node in functions(c).items() if not is_property(node)]


def stub_parameters(fn):
    """(name, kind, default) of every parameter after self or cls."""
    a = fn.args
    positional = [(x, P.POSITIONAL_ONLY) for x in a.posonlyargs] + [(x, P.POSITIONAL_OR_KEYWORD) for x in a.args]
    defaults = [NO_DEFAULT] * (len(positional) - len(a.defaults)) + [ast.literal_eval(d) for d in a.defaults]
    params = [(x.arg, kind, d) for (x, kind), d in zip(positional, defaults)]
    if a.vararg:
        params.append((a.vararg.arg, P.VAR_POSITIONAL, NO_DEFAULT))
    for x, d in zip(a.kwonlyargs, a.kw_defaults):
        params.append((x.arg, P.KEYWORD_ONLY, NO_DEFAULT if d is None else ast.literal_eval(d)))
    if a.kwarg:
        params.append((a.kwarg.arg, P.VAR_KEYWORD, NO_DEFAULT))
    return params[1:]


def runtime_parameters(signature, drop_self):
    params = [(p.name, p.kind, p.default) for p in signature.parameters.values()]
    return params[1:] if drop_self else params


def same(stub, runtime):
    """Equal lists of parameters, defaults compared by type too (True is not 1)."""
    return len(stub) == len(runtime) and all(
        s[:2] == r[:2] and type(s[2]) is type(r[2]) and s[2] == r[2] for s, r in zip(stub, runtime)
    )


# ---------------------------------------------------------------- the classes


def test_stub_lists_the_modules_classes():
    (all_node,) = [n for n in STUB.body if isinstance(n, ast.Assign) and n.targets[0].id == "__all__"]
    assert ast.literal_eval(all_node.value) == gelvo.__all__
    assert set(CLASSES) == set(gelvo.__all__)


@pytest.mark.parametrize("name", gelvo.__all__)
def test_final_in_the_stub_exactly_when_the_class_refuses_subclasses(name):
    decorated = {d.id for d in CLASSES[name].decorator_list if isinstance(d, ast.Name)}
    runtime_final = not getattr(gelvo, name).__flags__ & (1 << 10)  # Py_TPFLAGS_BASETYPE
    assert ("final" in decorated) == runtime_final


@pytest.mark.parametrize("name", gelvo.__all__)
def test_constructor_declared_exactly_when_the_class_has_one(name):
    cls = getattr(gelvo, name)
    declared = "__new__" in functions(name) or "__init__" in functions(name)
    assert declared == (cls.__text_signature__ is not None)
    if not declared:
        with pytest.raises(TypeError, match=f"No constructor defined for {name}"):
            cls()


# ---------------------------------------------------------------- callables


@pytest.mark.parametrize("cls_name, fn_name", stub_methods())
def test_stub_signature_matches_text_signature(cls_name, fn_name):
    cls = getattr(gelvo, cls_name)
    node = functions(cls_name)[fn_name]
    if f"gelvo.{cls_name}.{fn_name}" in ALLOWLISTED:
        # Declared for type checkers only; the entry must still be needed.
        assert fn_name not in vars(cls)
        return
    if fn_name == "__new__":
        runtime = runtime_parameters(inspect.signature(cls), drop_self=False)
    else:
        assert fn_name in vars(cls), f"{cls_name}.{fn_name} is not defined by the class itself"
        runtime = runtime_parameters(inspect.signature(vars(cls)[fn_name]), drop_self=True)
    assert same(stub_parameters(node), runtime), (stub_parameters(node), runtime)


@pytest.mark.parametrize("name", gelvo.__all__)
def test_every_method_and_slot_of_the_class_is_in_the_stub(name):
    callables = {
        attr
        for attr, value in vars(getattr(gelvo, name)).items()
        if isinstance(value, (types.MethodDescriptorType, types.WrapperDescriptorType, types.BuiltinMethodType))
    }
    assert callables - UNDECLARED_SLOTS <= set(functions(name))


def test_the_comparison_slots_left_out_of_the_stub_do_refuse_ordering():
    with pytest.raises(TypeError):
        gelvo.Sequence(seq="A") < gelvo.Sequence(seq="C")


# ---------------------------------------------------------------- attributes


def conforms(value, annotation):
    """Whether value has the type the stub's annotation (an AST node) names."""
    if isinstance(annotation, ast.Constant) and annotation.value is None:
        return value is None
    if isinstance(annotation, ast.BinOp) and isinstance(annotation.op, ast.BitOr):
        return conforms(value, annotation.left) or conforms(value, annotation.right)
    if isinstance(annotation, ast.Name):
        builtin = {"str": str, "int": int, "bool": bool, "float": float}.get(annotation.id)
        # Exact types: a bool where an int is promised is a fault here.
        return type(value) is builtin if builtin else isinstance(value, getattr(gelvo, annotation.id))
    assert isinstance(annotation, ast.Subscript), ast.dump(annotation)
    outer, inner = annotation.value.id, annotation.slice
    if outer == "Literal":
        return value in ast.literal_eval(inner) if isinstance(inner, ast.Tuple) else value == ast.literal_eval(inner)
    if outer == "list":
        return type(value) is list and all(conforms(item, inner) for item in value)
    raise AssertionError(f"no rule for {ast.unparse(annotation)}")


def declared_attributes(cls_name):
    """name -> (annotation node, writable) for the stub's properties and attributes."""
    out = {}
    for node in CLASSES[cls_name].body:
        if isinstance(node, ast.FunctionDef) and is_property(node):
            out[node.name] = (node.returns, False)
        elif isinstance(node, ast.AnnAssign) and not node.target.id.startswith("__"):
            out[node.target.id] = (node.annotation, True)
    return out


@pytest.fixture
def instances(write_fasta):
    path = write_fasta(">chr1\nACGTNNacgt\nAC\n>chr2\nGGCC\n")
    fasta = gelvo.Fasta(path)
    record = fasta["chr1"]
    return {
        "Fasta": [fasta],
        "Faidx": [gelvo.Faidx(path)],
        # With and without coordinates, forward and reverse complemented.
        "Sequence": [record[1:5], -record[1:5], gelvo.Sequence(), gelvo.Faidx(path, as_raw=True).fetch("chr2", 1, 2)],
        "FastaRecord": [record],
        "FastaIterator": [iter(fasta)],
        "SequenceIterator": [iter(record)],
    }


@pytest.mark.parametrize("name", [n for n in gelvo.__all__ if n != "MutableFastaRecord"])
def test_attributes_have_the_stubs_types_and_writability(instances, name):
    cls = getattr(gelvo, name)
    descriptors = (types.GetSetDescriptorType, types.MemberDescriptorType)
    runtime = {attr for attr, v in vars(cls).items() if isinstance(v, descriptors)}
    declared = declared_attributes(name)
    assert runtime == set(declared)
    for obj in instances[name]:
        for attr, (annotation, writable) in declared.items():
            value = getattr(obj, attr)
            assert conforms(value, annotation), (name, attr, value, ast.unparse(annotation))
            try:
                setattr(obj, attr, value)
                assigned = True
            except AttributeError:
                assigned = False
            assert assigned == writable, (name, attr)


# ---------------------------------------------------------------- packaging


def installed_stubs():
    """The stubs beside an installed gelvo; skips for an in-place build."""
    site = pathlib.Path(gelvo.__file__).parent
    if not list(site.glob("gelvo-*.dist-info")):
        pytest.skip("gelvo is not installed from a wheel here")
    return site / "gelvo-stubs"


def test_installed_package_ships_the_stubs_unchanged():
    stubs = installed_stubs()
    assert (stubs / "__init__.pyi").read_bytes() == (STUB_DIR / "__init__.pyi").read_bytes()
    assert not (stubs / "allowlist.txt").exists()


def test_mypy_reads_the_installed_stubs(tmp_path):
    installed_stubs()
    pytest.importorskip("mypy")
    (tmp_path / "use.py").write_text(
        textwrap.dedent(
            """
            import gelvo

            fa = gelvo.Fasta("ref.fa")
            reveal_type(fa["chr1"][0:10].start)
            reveal_type(fa.fetch_many([("chr1", 1, 2)], rc=True))
            reveal_type([base for base in fa.get_seq("chr1", 1, 5)])
            fa.get_seq("chr1", "1", 2)
            """
        )
    )
    run = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--strict",
            "--no-incremental",
            "--cache-dir",
            str(tmp_path / "cache"),
            "use.py",
        ],
        cwd=tmp_path,
        capture_output=True,
        text=True,
    )
    out = run.stdout
    assert 'Revealed type is "int | None"' in out, out
    assert 'Revealed type is "list[gelvo.Sequence]"' in out, out
    assert out.count('Revealed type is "list[gelvo.Sequence]"') == 2, out
    assert 'Argument 2 to "get_seq" of "Fasta" has incompatible type "str"; expected "int"' in out, out
    assert "Found 1 error" in out, out


def test_the_examples_type_check_against_the_stubs(tmp_path):
    installed_stubs()
    pytest.importorskip("mypy")
    scripts = sorted(str(p) for p in (ROOT / "examples").glob("*.py"))
    run = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), *scripts],
        cwd=tmp_path,
        capture_output=True,
        text=True,
    )
    assert run.returncode == 0, run.stdout
