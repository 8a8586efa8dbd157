// The core's common file I/O for the package's own Python code
// (mirelo_utils._core._io): files that the package writes, such as the
// health page, go through the same atomic writer as every file the core
// writes, and files it reads (the page's pictures) through the same check
// that they are regular files.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <string>
#include <string_view>

#include "bindings.hpp"
#include "common/files.hpp"
#include "convert.hpp"

using namespace nb::literals;

namespace mirelo::py {
namespace {

void write_file(nb::handle path, nb::bytes data, bool sync) {
  const std::string target = to_path(path, "path");
  const std::string_view bytes(data.c_str(), data.size());
  AtomicWriteOptions options;
  options.sync = sync;
  nb::gil_scoped_release release;
  write_file_atomically(target, bytes, options);
}

}  // namespace

void init_io(nb::module_& m) {
  nb::module_ io = m.def_submodule("_io", "The core's file I/O for the package's own code.");
  io.def("write_file", &write_file, "path"_a, "data"_a, nb::kw_only(), "sync"_a = true,
         nb::sig("def write_file(path: str | os.PathLike[str], data: bytes, *, sync: bool = True) -> None"),
         "Writes data to path through a hidden temporary sibling renamed over it\n"
         "(an existing file is replaced whole, a failure leaves it as it was);\n"
         "with sync, the bytes reach the disk before the rename.\n\n"
         "Raises:\n"
         "    FileNotFoundError, OSError: the folder is missing or cannot be written.");
  io.def("open_file", [](nb::handle path) { return open_regular_binary(path); }, "path"_a,
         nb::sig("def open_file(path: str | bytes | os.PathLike[str]) -> typing.BinaryIO"),
         "The regular file at path opened for reading in binary mode.\n\n"
         "Raises:\n"
         "    FileNotFoundError, OSError: the file is missing or unreadable, or is a\n"
         "        FIFO, a device, a socket or a folder (never opened for reading).");
}

}  // namespace mirelo::py
