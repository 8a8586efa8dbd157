#pragma once
// Pieces of the pen bindings that other areas reuse (the first-frame search
// and the mask refinement find pen files the same way).
#include <nanobind/nanobind.h>

#include <string>


namespace nb = nanobind;

namespace mirelo::py {

/// The configured root folder of the per-camera pen files: the attribute
/// mirelo_utils.PEN_JSON_ROOT as it is at call time.
std::string pen_json_root();

}  // namespace mirelo::py
