// Every C++ exception that can leave the core becomes the Python exception a
// Python user expects, here and nowhere else.
#include <nanobind/nanobind.h>

#include <cstring>
#include <new>
#include <string>
#include <system_error>
#include <typeinfo>
#include <opencv2/core.hpp>

#include "bindings.hpp"
#include "common/errors.hpp"
#include "common/runtime.hpp"
#include "convert.hpp"

namespace mirelo::py {
namespace {

// Messages may carry file names that are not UTF-8; their bytes are shown
// escaped rather than turning the error into a UnicodeDecodeError.
void set_error(PyObject* type, const char* what) {
  PyObject* s = PyUnicode_DecodeUTF8(what, static_cast<Py_ssize_t>(std::strlen(what)), "backslashreplace");
  if (!s) return;  // only on memory exhaustion; that error stays set
  PyErr_SetObject(type, s);
  Py_DECREF(s);
}

// The subclass of OSError that the host's OSError(errno, ...) picks for an
// errno (PermissionError for EACCES, IsADirectoryError for EISDIR, ...).
PyObject* os_error_type(int errno_value) {
  if (errno_value == 0) return PyExc_OSError;
  PyObject* probe = PyObject_CallFunction(PyExc_OSError, "is", errno_value, "");
  if (!probe) {
    PyErr_Clear();
    return PyExc_OSError;
  }
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(probe));  // a built-in type: outlives the probe
  Py_DECREF(probe);
  return type;
}

}  // namespace

void install_error_translators() {
  nb::register_exception_translator([](const std::exception_ptr& p, void*) {
    try {
      std::rethrow_exception(p);
    } catch (const nb::python_error&) {
      throw;  // a Python exception already: nanobind restores it
    } catch (const nb::builtin_exception&) {
      throw;  // nanobind's own, translated by nanobind
    } catch (const mirelo::KeyError& e) {
      // Python shows the missing key itself as the message.
      set_error(PyExc_KeyError, e.what());
    } catch (const mirelo::IndexError& e) {
      set_error(PyExc_IndexError, e.what());
    } catch (const mirelo::TypeError& e) {
      set_error(PyExc_TypeError, e.what());
    } catch (const mirelo::ZeroDivisionError& e) {
      set_error(PyExc_ZeroDivisionError, e.what());
    } catch (const mirelo::FileNotFoundError& e) {
      set_error(PyExc_FileNotFoundError, e.what());
    } catch (const mirelo::OSError& e) {
      set_error(os_error_type(e.error_number), e.what());
    } catch (const mirelo::LibraryError& e) {
      set_error(PyExc_ImportError, e.what());
    } catch (const cv::Exception& e) {
      set_error(PyExc_RuntimeError, ("OpenCV: " + e.err + " in " + e.func).c_str());
    } catch (const std::invalid_argument& e) {
      set_error(PyExc_ValueError, e.what());
    } catch (const std::domain_error& e) {
      set_error(PyExc_ValueError, e.what());
    } catch (const std::length_error& e) {
      set_error(PyExc_ValueError, e.what());
    } catch (const std::out_of_range& e) {
      set_error(PyExc_IndexError, e.what());
    } catch (const std::overflow_error& e) {
      set_error(PyExc_OverflowError, e.what());
    } catch (const std::bad_cast&) {
      // A host value whose type a conversion did not expect (nanobind's
      // cast_error); the conversions name the argument wherever they can.
      PyErr_SetString(PyExc_TypeError, "a value of an unexpected type could not be converted");
    } catch (const mirelo::MemoryError& e) {
      set_error(PyExc_MemoryError, e.what());
    } catch (const std::bad_alloc&) {
      set_error(PyExc_MemoryError, "out of memory");
    } catch (const std::system_error& e) {
      set_error(e.code().category() == std::generic_category() || e.code().category() == std::system_category()
                    ? os_error_type(e.code().value())
                    : PyExc_OSError,
                e.what());
    } catch (const std::runtime_error& e) {
      set_error(PyExc_RuntimeError, e.what());
    } catch (const std::logic_error& e) {
      set_error(PyExc_RuntimeError, e.what());
    } catch (const std::exception& e) {
      // Anything else (bad_function_call, bad_variant_access, ...) is still
      // a normal Python exception, never the SystemError nanobind would give.
      set_error(PyExc_RuntimeError, (std::string("internal error: ") + e.what()).c_str());
    } catch (...) {
      PyErr_SetString(PyExc_RuntimeError, "internal error: an exception of an unknown type");
    }
  });
}

namespace {

// Calls fn() with the lines that the core prints on this thread appended to
// `lines` (as the console would show them) instead of going to sys.stdout,
// also when fn raises; other threads print as usual. The cluster calls run
// one task per worker thread this way.
nb::object call_capturing_lines(nb::list lines, nb::callable fn) {
  MessageCapture capture;
  auto append = [&] {
    for (const std::string& l : capture.take()) lines.append(console_text(l));
  };
  try {
    nb::object result = fn();
    append();
    return result;
  } catch (...) {
    append();
    throw;
  }
}

}  // namespace

void install_runtime_hooks(nb::module_& m) {
  // Messages go through sys.stdout so notebooks show them and
  // contextlib.redirect_stdout / capsys catch them.
  mirelo::set_message_sink([](std::string_view text) {
    nb::gil_scoped_acquire gil;
    nb::module_::import_("sys").attr("stdout").attr("write")(console_text(text));
  });
  // Long loops call this at safe points; a pending Ctrl-C surfaces as the
  // KeyboardInterrupt that PyErr_CheckSignals raised.
  mirelo::set_interrupt_check([] {
    nb::gil_scoped_acquire gil;
    if (PyErr_CheckSignals() != 0) throw nb::python_error();
  });
  m.def("_call_capturing_lines", &call_capturing_lines, nb::arg("lines"), nb::arg("fn"),
        nb::sig("def _call_capturing_lines(lines: list[str], fn: collections.abc.Callable[[], typing.Any]) "
                "-> typing.Any"),
        "fn(), the lines the core prints meanwhile on this thread appended to `lines` (also when it raises).");
}

}  // namespace mirelo::py
