#include "bindings.hpp"

NB_MODULE(_core, m) {
  m.doc() = "Compiled core of mirelo_utils; import the public names from mirelo_utils.";
  mirelo::py::install_error_translators();
  mirelo::py::install_runtime_hooks(m);
  mirelo::py::init_measures(m);
  mirelo::py::init_segment(m);
  mirelo::py::init_pen(m);
  mirelo::py::init_visual(m);
  mirelo::py::init_ingest(m);
  mirelo::py::init_qc(m);
  mirelo::py::init_scores(m);
  mirelo::py::init_io(m);
  mirelo::py::init_corrections(m);
  mirelo::py::init_exchange(m);
#ifdef MIRELO_TEST_HOOKS
  mirelo::py::init_test_hooks(m);
#endif
}
