// std::source_location for clang versions whose standard library headers do
// not offer it yet (clang 14 with libstdc++ 12 lacks the builtin the header
// needs). Forced into the sources of the fuzz build only; with a library that
// has it, this header adds nothing.
#pragma once

#include <version>

#if !defined(__cpp_lib_source_location)
#include <cstdint>

namespace std {
struct source_location {
  static constexpr source_location current(const char* file = __builtin_FILE(),
                                           const char* function = __builtin_FUNCTION(),
                                           uint_least32_t line = __builtin_LINE()) noexcept {
    source_location location;
    location.file_ = file;
    location.function_ = function;
    location.line_ = line;
    return location;
  }
  constexpr const char* file_name() const noexcept { return file_; }
  constexpr const char* function_name() const noexcept { return function_; }
  constexpr uint_least32_t line() const noexcept { return line_; }
  constexpr uint_least32_t column() const noexcept { return 0; }

 private:
  const char* file_ = "";
  const char* function_ = "";
  uint_least32_t line_ = 0;
};
}  // namespace std
#endif
