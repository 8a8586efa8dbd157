#include "common/runtime.hpp"

#include <cstdio>
#include <mutex>

namespace mirelo {
namespace {

std::mutex& sink_mutex() {
  static std::mutex m;
  return m;
}
MessageSink& sink() {
  static MessageSink s;
  return s;
}
InterruptCheck& interrupt() {
  static InterruptCheck c;
  return c;
}
thread_local std::vector<std::string>* captured = nullptr;

}  // namespace

void print_line(std::string_view text) {
  if (captured) {
    captured->emplace_back(text);
    return;
  }
  std::string line(text);
  line.push_back('\n');
  MessageSink current;
  {
    std::lock_guard<std::mutex> lock(sink_mutex());
    current = sink();
  }
  if (current) {
    current(line);
  } else {
    std::fwrite(line.data(), 1, line.size(), stdout);
  }
}

void check_interrupt() {
  InterruptCheck current;
  {
    std::lock_guard<std::mutex> lock(sink_mutex());
    current = interrupt();
  }
  if (current) current();
}

void set_message_sink(MessageSink s) {
  std::lock_guard<std::mutex> lock(sink_mutex());
  sink() = std::move(s);
}

void set_interrupt_check(InterruptCheck c) {
  std::lock_guard<std::mutex> lock(sink_mutex());
  interrupt() = std::move(c);
}

MessageCapture::MessageCapture() : outer_(captured) { captured = &lines_; }

MessageCapture::~MessageCapture() { captured = outer_; }

std::vector<std::string> MessageCapture::take() {
  std::vector<std::string> out;
  out.swap(lines_);
  return out;
}

}  // namespace mirelo
