// The records of clip corrections: an edit journal (also each edit's undo
// record) and the audit log corrections.jsonl, as the edit engine reads
// them after a kill. A journal that reads back must write back to the same
// bytes, and its splices must fit the checks that guard applying them.
#include <cstdlib>

#include "common/files.hpp"
#include "fuzz_input.hpp"
#include "pen/clip_journal.hpp"

using namespace mirelo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz::InputFile input;
  const std::string& path = input.write(data, size);
  fuzz::accepting_errors([&] {
    const std::string bytes = read_file(path);
    const ClipEdit edit = parse_clip_edit(bytes, path);
    if (serialize_clip_edit(edit) != bytes) std::abort();
    for (const FileChange& f : edit.files) {
      const std::vector<Splice> back = reverse_splices(f.splices);
      fuzz::accepting_errors([&] { apply_splices(std::string(64, 'x'), f.splices, f.file); });
      fuzz::accepting_errors([&] { apply_splices(std::string(64, 'x'), back, f.file); });
    }
  });
  fuzz::accepting_errors([&] {
    for (const LoggedEdit& e : parse_corrections_log(read_file(path), path))
      if (e.undoes && !e.undone_by && e.number <= *e.undoes) std::abort();
  });
  return 0;
}
