#include "bindings.hpp"

namespace mirelo::py {

void init_ingest(nb::module_&) {}

}  // namespace mirelo::py
