#include "bindings.hpp"

namespace mirelo::py {

void init_qc(nb::module_&) {}

}  // namespace mirelo::py
