#include "bindings.hpp"

namespace mirelo::py {

void init_visual(nb::module_&) {}

}  // namespace mirelo::py
