"""The module surface: the Encoder type, its constructor and argument binding."""

import pytest

from support import run_python
from vexilo import Encoder


@pytest.mark.parametrize(
    "args, kwargs",
    [((), {}), ((None,), {}), ((), {"encoding": None}), (("label",), {}), ((), {"encoding": "label"})],
)
def test_constructor_accepts_label_and_none(args, kwargs):
    encoder = Encoder(*args, **kwargs)
    assert type(encoder) is Encoder


def test_constructor_accepts_str_subclass():
    class Text(str):
        pass

    Encoder(Text("label"))


@pytest.mark.parametrize(
    "args, kwargs, error, message, notes",
    [
        (("Label",), {}, ValueError, "Label is not a supported encoding strategy for strings!", None),
        (("",), {}, ValueError, " is not a supported encoding strategy for strings!", None),
        (("label ",), {}, ValueError, "label  is not a supported encoding strategy for strings!", None),
        ((1,), {}, TypeError, "'int' object is not an instance of 'str'", ["while processing 'encoding'"]),
        ((b"label",), {}, TypeError, "'bytes' object is not an instance of 'str'",
         ["while processing 'encoding'"]),
        (("label",), {"encoding": "label"}, TypeError,
         "Encoder.__new__() got multiple values for argument 'encoding'", None),
        (("label", 2), {}, TypeError,
         "Encoder.__new__() takes from 0 to 1 positional arguments but 2 were given", None),
        ((), {"strategy": "label"}, TypeError,
         "Encoder.__new__() got an unexpected keyword argument 'strategy'", None),
    ],
)
def test_constructor_errors(args, kwargs, error, message, notes):
    with pytest.raises(error) as info:
        Encoder(*args, **kwargs)
    assert str(info.value) == message
    assert getattr(info.value, "__notes__", None) == notes


def test_constructor_unencodable_text_raises_interpreter_error_with_note():
    with pytest.raises(UnicodeEncodeError) as info:
        Encoder("\ud800")
    assert info.value.__notes__ == ["while processing 'encoding'"]


class Outer:
    class Inner:
        pass


def test_qualified_type_name_in_messages():
    with pytest.raises(TypeError) as info:
        Encoder(Outer.Inner())
    assert str(info.value) == "'Outer.Inner' object is not an instance of 'str'"


METHODS = [("encode", "obj"), ("decode", "obj"), ("__setstate__", "state")]


@pytest.mark.parametrize("method, parameter", METHODS)
def test_method_binding_errors(method, parameter):
    bound = getattr(Encoder(), method)
    name = f"Encoder.{method}()"
    cases = [
        ((), {}, f"{name} missing 1 required positional argument: '{parameter}'"),
        ((1, 2), {}, f"{name} takes 1 positional arguments but 2 were given"),
        ((1, 2, 3), {}, f"{name} takes 1 positional arguments but 3 were given"),
        ((), {"x": 1}, f"{name} got an unexpected keyword argument 'x'"),
        ((1,), {parameter: 1}, f"{name} got multiple values for argument '{parameter}'"),
    ]
    for args, kwargs, message in cases:
        with pytest.raises(TypeError) as info:
            bound(*args, **kwargs)
        assert str(info.value) == message


def test_getstate_takes_no_arguments():
    with pytest.raises(TypeError):
        Encoder().__getstate__(1)


@pytest.mark.parametrize(
    "attribute, signature",
    [
        (Encoder, "(encoding=None)"),
        (Encoder.encode, "($self, obj)"),
        (Encoder.__getstate__, "($self)"),
        (Encoder.__setstate__, "($self, state)"),
    ],
)
def test_text_signatures(attribute, signature):
    assert attribute.__text_signature__ == signature
    assert not attribute.__doc__


def test_decode_signature_names_as_category():
    assert Encoder.decode.__text_signature__ == "($self, obj, *, as_category=False)"
    assert "as_category=True" in Encoder.decode.__doc__


def test_method_table_order():
    names = [name for name in vars(Encoder) if not name.startswith("__") or name in
             ("__getstate__", "__setstate__")]
    # The original methods keep their order; the later additions follow them.
    assert names == ["encode", "decode", "__getstate__", "__setstate__", "transform", "categories"]


def test_type_is_final_and_slotless():
    with pytest.raises(TypeError):
        type("Sub", (Encoder,), {})
    encoder = Encoder()
    with pytest.raises(AttributeError):
        encoder.extra = 1
    assert not hasattr(encoder, "__dict__")
    import weakref

    with pytest.raises(TypeError):
        weakref.ref(encoder)


def test_encoders_are_independent_objects():
    a, b = Encoder(), Encoder()
    assert a is not b
    assert a.__getstate__() == b.__getstate__()


@pytest.mark.parametrize("how", ["whole", "package", "reload"])
def test_reimport_reuses_the_type_object(how):
    result = run_python(
        f"""
        import importlib, pickle, sys
        import numpy as np
        import vexilo
        first, names = vexilo.Encoder, dir(vexilo)
        encoder = first()
        encoder.encode(np.array([["b"], ["a"]], dtype=object))
        data = pickle.dumps(encoder)
        if "{how}" == "reload":
            again = importlib.reload(vexilo)
        else:
            # The package alone leaves its submodules cached: importing them then binds nothing.
            for name in [n for n in sys.modules if n.split(".")[0] == "vexilo"]:
                if name == "vexilo" or "{how}" == "whole":
                    del sys.modules[name]
            again = importlib.import_module("vexilo")
            assert again is not vexilo
        assert again.Encoder is first and dir(again) == names, dir(again)
        assert pickle.loads(data).decode(np.array([[0.0]])).tolist() == [["a"]]
        assert type(pickle.loads(pickle.dumps(again.PanicException("x")))) is again.PanicException
        print("ok")
        """
    )
    assert result.stdout.strip() == "ok", result.stderr


def test_import_in_subinterpreter_fails_cleanly():
    result = run_python(
        """
        import sys
        try:
            import _interpreters as interpreters
        except ImportError:
            import _xxsubinterpreters as interpreters
        interp = interpreters.create()
        code = "import vexilo"
        try:
            outcome = interpreters.run_string(interp, code)
        except Exception as error:  # older interpreters raise the subinterpreter's error here
            outcome = error
        print(repr(outcome))
        """
    )
    assert result.returncode == 0, result.stderr
    assert "ImportError" in result.stdout or "subinterpreter" in result.stdout, result.stdout
