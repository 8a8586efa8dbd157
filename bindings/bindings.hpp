#pragma once
// Entry points of the module's areas, one per subsystem, called from module.cpp.
#include <nanobind/nanobind.h>

namespace nb = nanobind;

namespace mirelo::py {

void install_error_translators();
void install_runtime_hooks(nb::module_& m);

void init_measures(nb::module_& m);
void init_segment(nb::module_& m);
void init_pen(nb::module_& m);
void init_visual(nb::module_& m);
void init_ingest(nb::module_& m);
void init_qc(nb::module_& m);
void init_scores(nb::module_& m);
void init_io(nb::module_& m);
void init_corrections(nb::module_& m);
void init_exchange(nb::module_& m);

/// Entry points for the tests only; built with MIRELO_BUILD_TESTS.
void init_test_hooks(nb::module_& m);

}  // namespace mirelo::py
