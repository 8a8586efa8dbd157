#pragma once
// The core's two links to its host: a sink for console messages and a check
// for a pending interrupt (Ctrl-C). The Python module points both at the
// interpreter; standalone C++ users get stdout and a no-op check.
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace mirelo {

using MessageSink = std::function<void(std::string_view)>;
using InterruptCheck = std::function<void()>;

/// Writes one console line (a line break is appended), as the host's print would.
void print_line(std::string_view text);

/// Throws when the host has a pending interrupt; call it at safe points of
/// long loops. May be called from any thread that the core runs on.
void check_interrupt();

/// Installs the sink used by print_line (an empty function restores stdout).
void set_message_sink(MessageSink sink);

/// Installs the interrupt check (an empty function restores the no-op).
void set_interrupt_check(InterruptCheck check);

/// While alive, keeps the lines that print_line writes on the constructing
/// thread (without their line breaks) instead of sending them to the sink;
/// other threads print as usual. Captures nest: the innermost one collects.
class MessageCapture {
 public:
  MessageCapture();
  ~MessageCapture();
  MessageCapture(const MessageCapture&) = delete;
  MessageCapture& operator=(const MessageCapture&) = delete;

  /// The lines collected so far, removed from the capture.
  std::vector<std::string> take();

 private:
  std::vector<std::string> lines_;
  std::vector<std::string>* outer_;
};

}  // namespace mirelo
