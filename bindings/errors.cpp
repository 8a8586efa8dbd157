// Every C++ exception that can leave the core becomes the Python exception a
// Python user expects, here and nowhere else.
#include <nanobind/nanobind.h>

#include <new>
#include <opencv2/core.hpp>

#include "bindings.hpp"
#include "common/errors.hpp"
#include "common/runtime.hpp"

namespace mirelo::py {

void install_error_translators() {
  nb::register_exception_translator([](const std::exception_ptr& p, void*) {
    try {
      std::rethrow_exception(p);
    } catch (const mirelo::KeyError& e) {
      // Python shows the missing key itself as the message.
      PyErr_SetObject(PyExc_KeyError, nb::str(e.what()).ptr());
    } catch (const mirelo::IndexError& e) {
      PyErr_SetString(PyExc_IndexError, e.what());
    } catch (const mirelo::TypeError& e) {
      PyErr_SetString(PyExc_TypeError, e.what());
    } catch (const mirelo::ZeroDivisionError& e) {
      PyErr_SetString(PyExc_ZeroDivisionError, e.what());
    } catch (const mirelo::FileNotFoundError& e) {
      PyErr_SetString(PyExc_FileNotFoundError, e.what());
    } catch (const mirelo::OSError& e) {
      PyErr_SetString(PyExc_OSError, e.what());
    } catch (const cv::Exception& e) {
      PyErr_SetString(PyExc_RuntimeError, ("OpenCV: " + e.err + " in " + e.func).c_str());
    } catch (const std::invalid_argument& e) {
      PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::domain_error& e) {
      PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::length_error& e) {
      PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::out_of_range& e) {
      PyErr_SetString(PyExc_IndexError, e.what());
    } catch (const std::overflow_error& e) {
      PyErr_SetString(PyExc_OverflowError, e.what());
    } catch (const std::bad_alloc&) {
      PyErr_SetString(PyExc_MemoryError, "out of memory");
    } catch (const std::runtime_error& e) {
      PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (const std::logic_error& e) {
      PyErr_SetString(PyExc_RuntimeError, e.what());
    }
  });
}

void install_runtime_hooks(nb::module_&) {
  // Messages go through sys.stdout so notebooks show them and
  // contextlib.redirect_stdout / capsys catch them.
  mirelo::set_message_sink([](std::string_view text) {
    nb::gil_scoped_acquire gil;
    nb::module_::import_("sys").attr("stdout").attr("write")(nb::str(text.data(), text.size()));
  });
  // Long loops call this at safe points; a pending Ctrl-C surfaces as the
  // KeyboardInterrupt that PyErr_CheckSignals raised.
  mirelo::set_interrupt_check([] {
    nb::gil_scoped_acquire gil;
    if (PyErr_CheckSignals() != 0) throw nb::python_error();
  });
}

}  // namespace mirelo::py
