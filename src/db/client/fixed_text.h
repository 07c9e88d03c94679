// FixedText<N>: a text field of at most N characters and a terminating zero,
// the form of every text column and record field of the system. Assignment
// cuts to N characters, so a field can never overflow.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

namespace kvr {

template <std::size_t N>
class FixedText {
 public:
  static constexpr std::size_t kWidth = N;

  FixedText() { clear(); }
  FixedText(std::string_view text) { assign(text); }  // NOLINT: implicit by design
  FixedText& operator=(std::string_view text) {
    assign(text);
    return *this;
  }

  void assign(std::string_view text) {
    // Stops at an embedded zero byte as a C text would.
    std::size_t len = 0;
    while (len < text.size() && len < N && text[len] != '\0') ++len;
    // An empty view may carry no data pointer at all.
    if (len != 0) std::memcpy(buf_, text.data(), len);
    std::memset(buf_ + len, 0, N + 1 - len);
  }
  void clear() { std::memset(buf_, 0, N + 1); }

  const char* c_str() const { return buf_; }
  char* data() { return buf_; }  // N + 1 bytes; keep the last one zero
  std::size_t size() const { return std::strlen(buf_); }
  bool empty() const { return buf_[0] == '\0'; }
  std::string_view view() const { return std::string_view(buf_, size()); }
  std::string str() const { return std::string(view()); }
  operator std::string_view() const { return view(); }  // NOLINT

  friend bool operator==(const FixedText& a, std::string_view b) { return a.view() == b; }
  template <std::size_t M>
  friend bool operator==(const FixedText& a, const FixedText<M>& b) {
    return a.view() == b.view();
  }

 private:
  char buf_[N + 1];
};

}  // namespace kvr
