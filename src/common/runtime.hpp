#pragma once
// The core's two links to its host: a sink for console messages and a check
// for a pending interrupt (Ctrl-C). The Python module points both at the
// interpreter; standalone C++ users get stdout and a no-op check.
#include <functional>
#include <string>
#include <string_view>

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

}  // namespace mirelo
