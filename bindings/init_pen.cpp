#include "bindings.hpp"

namespace mirelo::py {

void init_pen(nb::module_&) {}

}  // namespace mirelo::py
