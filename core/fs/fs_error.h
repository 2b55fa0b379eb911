// Expected file-system failures as values: the errno and the path the failing call
// concerned. Nothing in the file-system helpers throws.
#pragma once

#include <unistd.h>

#include <cerrno>

#include <cassert>
#include <string>
#include <utility>
#include <variant>

namespace tavrik {

struct FsError {
  int code = 0;      // errno
  std::string path;  // what the failing call was about
  // A sentence for the user where the errno alone would mislead (a file changed since the
  // comparison, say); empty when the system's own text says it.
  std::string why;
};

// The failure of the call just made, about path.
inline FsError ErrorAt(std::string path, int code = errno) { return {code, std::move(path), {}}; }
// A failure with the sentence that explains it.
inline FsError Because(std::string path, int code, const char* why) {
  return {code, std::move(path), why};
}

// A value of type T, or the FsError that prevented it.
template <typename T = std::monostate>
class [[nodiscard]] Result {
 public:
  Result() : value_(T{}) {}
  Result(T value) : value_(std::move(value)) {}
  Result(FsError error) : value_(std::move(error)) {}

  bool ok() const { return value_.index() == 0; }
  T& value() {
    assert(ok());
    return std::get<0>(value_);
  }
  const FsError& error() const {
    assert(!ok());
    return std::get<1>(value_);
  }

 private:
  std::variant<T, FsError> value_;
};

using FsResult = Result<>;

}  // namespace tavrik
