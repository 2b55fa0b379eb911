// Expected file-system failures as values: the errno and the path the failing call
// concerned. Nothing in the file-system helpers throws.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cassert>
#include <string>
#include <utility>
#include <variant>

#include "core/comparison_list.h"

namespace tavrik {

struct FsError {
  int code = 0;      // errno
  std::string path;  // what the failing call was about
};

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

// What a fill records of a file, from its attribute query.
inline FileStamp StampOf(const struct stat& st) {
  return {st.st_size, st.st_mtim.tv_sec, static_cast<int32_t>(st.st_mtim.tv_nsec)};
}

// An owned file descriptor, closed when it goes out of scope.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { Reset(); }

  int get() const { return fd_; }
  // Hands the descriptor over, so the caller can close it and see close's error.
  int Release() { return std::exchange(fd_, -1); }

 private:
  void Reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  int fd_ = -1;
};

}  // namespace tavrik
