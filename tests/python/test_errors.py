"""Every C++ exception reaches Python as a normal exception, never SystemError."""
import pytest

from mirelo_utils import _core

if not hasattr(_core, "_errors"):
    pytest.skip("module built without the tests' entry points (MIRELO_BUILD_TESTS=OFF)", allow_module_level=True)


@pytest.mark.parametrize(
    "kind, expected, message",
    [
        ("ValueError", ValueError, "bad value"),
        ("TypeError", TypeError, "bad type"),
        ("KeyError", KeyError, "key"),
        ("IndexError", IndexError, "index"),
        ("ZeroDivisionError", ZeroDivisionError, "division"),
        ("FileNotFoundError", FileNotFoundError, "missing"),
        ("OSError", OSError, "io"),
        ("OSError_EACCES", PermissionError, "denied"),
        ("LibraryError", ImportError, "cannot load libx.so"),
        ("invalid_argument", ValueError, "argument"),
        ("domain_error", ValueError, "domain"),
        ("length_error", ValueError, "length"),
        ("out_of_range", IndexError, "range"),
        ("overflow_error", OverflowError, "overflow"),
        ("underflow_error", RuntimeError, "underflow"),
        ("range_error", RuntimeError, "range"),
        ("runtime_error", RuntimeError, "runtime"),
        ("logic_error", RuntimeError, "logic"),
        ("system_error", OSError, "system"),
        ("ios_failure", OSError, "stream"),
        ("bad_alloc", MemoryError, "out of memory"),
        ("bad_array_new_length", MemoryError, "out of memory"),
        ("bad_cast", TypeError, "unexpected type"),
        ("cv_exception", RuntimeError, "OpenCV: bad in func"),
        ("python_error", LookupError, "from Python"),
        ("nb_value_error", ValueError, "nanobind value"),
        # Not mapped one by one: the final catch.
        ("bad_function_call", RuntimeError, "internal error: bad_function_call"),
        ("bad_variant_access", RuntimeError, "internal error"),
        ("exception", RuntimeError, "internal error"),
        ("not_an_exception", RuntimeError, "unknown type"),
    ],
)
def test_cpp_exceptions_map_to_python_exceptions(kind, expected, message):
    with pytest.raises(Exception) as info:
        _core._errors.throw_cpp(kind)
    assert not isinstance(info.value, SystemError)
    assert type(info.value) is expected
    assert message in str(info.value)
