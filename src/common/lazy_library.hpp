#pragma once
// Companion shared libraries, opened on first use. Some work of the core needs
// libraries that cost more to load than everything else together (the codec
// stacks behind video and image reading); it is built into a library of its
// own, installed beside the binary that holds the core, and opened only when
// an operation first needs it.
#include <string>

namespace mirelo {

/// Opens the shared library `file_name` and returns the address of its
/// function `entry`. The file is looked for in the folder of the binary that
/// holds this code (the Python module, or a program linking the core); when
/// it is not there, the dynamic linker's own search decides (a library of
/// that name already loaded, LD_LIBRARY_PATH, the system's folders). The
/// library stays loaded. Callers keep the address: every call opens again.
/// Throws LibraryError naming the library and the loader's reason when it
/// cannot be opened (a missing file, or a missing library it needs) or has
/// no `entry`.
void* library_entry(const std::string& file_name, const char* entry);

}  // namespace mirelo
