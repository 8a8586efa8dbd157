#pragma once
// Pieces of the pen bindings that other areas reuse (the first-frame search
// and the mask refinement find pen files the same way).
#include <nanobind/nanobind.h>

#include <string>

#include "pen/json_doc.hpp"

namespace nb = nanobind;

namespace mirelo::py {

/// A path argument (str or os.PathLike giving str) as file-system bytes;
/// `what` names the argument in the TypeError.
std::string path_text(nb::handle path, const std::string& what);

/// File-system bytes back to the str the host's os functions would give.
nb::str path_str(const std::string& path);

/// The configured root folder of the per-camera pen files: the attribute
/// mirelo_utils.PEN_JSON_ROOT as it is at call time.
std::string pen_json_root();

/// A JSON value as the host's json module would have loaded it.
nb::object json_to_py(const JsonValue& v);

}  // namespace mirelo::py
