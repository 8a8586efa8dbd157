#pragma once
// The one folder walk of the core, top-down as the host's os.walk walks.
#include <functional>
#include <string>
#include <vector>

namespace mirelo {

/// Visits `top` and every folder below it, pre-order: a folder first, then
/// its sub-folders in ascending order of their names as the host compares
/// texts (code points of the names decoded as the host decodes file names),
/// each with its own sub-folders before the next. Symbolic links to folders
/// are not entered. A folder that cannot be listed (missing, not a folder, no
/// permission) is skipped with everything below it. `visit` gets the folder's
/// path (pieces joined by path_join, as os.path.join joins them) and the
/// names of its entries that are not folders, in the order the listing gave
/// them.
void walk_folders(const std::string& top,
                  const std::function<void(const std::string& folder, const std::vector<std::string>& files)>& visit);

/// Joins two path pieces as the host's os.path.join does (see
/// platform::path_join): on POSIX an absolute `b` replaces `a`, and '/' is
/// added unless `a` is empty or ends with one.
std::string path_join(const std::string& a, const std::string& b);

}  // namespace mirelo
