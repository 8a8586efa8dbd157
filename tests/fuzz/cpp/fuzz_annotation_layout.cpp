// The detections of an annotation file located in its bytes, as the edit
// engine splices them. On any text the JSON reader accepts, the spans must
// lie inside the text, in order, and there must be one per detection the
// reader finds, each id span holding the very integer the reader read.
#include <cstdlib>

#include "common/files.hpp"
#include "common/json.hpp"
#include "fuzz_input.hpp"
#include "pen/annotation_layout.hpp"

using namespace mirelo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz::InputFile input;
  const std::string& path = input.write(data, size);
  fuzz::accepting_errors([&] {
    const std::string text = read_file(path);
    std::string_view body(text);
    if (body.substr(0, 3) == "\xEF\xBB\xBF") body.remove_prefix(3);
    const JsonValue doc = parse_json(body);
    const AnnotationLayout layout = locate_detections(text);
    const JsonValue* dets = doc.is_object() ? doc.find("detections") : nullptr;
    if (!dets || !dets->is_array()) {
      if (layout.list) std::abort();
      return;
    }
    if (!layout.list || layout.detections.size() != dets->items.size()) std::abort();
    size_t at = layout.list->begin;
    for (size_t k = 0; k < layout.detections.size(); ++k) {
      const DetectionSpan& d = layout.detections[k];
      if (d.value.begin <= at || d.value.end < d.value.begin || d.value.end >= layout.list->end) std::abort();
      at = d.value.end;
      const JsonValue& det = dets->items[k];
      const JsonValue* id = det.is_object() ? det.find("object_id") : nullptr;
      if (!id != !d.object_id) std::abort();
      if (!id) continue;
      if (d.object_id->begin < d.value.begin || d.object_id->end > d.value.end) std::abort();
      if (id->kind == JsonValue::Kind::Int && !id->big_int &&
          text.substr(d.object_id->begin, d.object_id->end - d.object_id->begin) != std::to_string(id->integer) &&
          !(id->integer == 0 && text.substr(d.object_id->begin, 2) == "-0"))
        std::abort();
    }
    if (layout.list->end > text.size()) std::abort();
  });
  return 0;
}
