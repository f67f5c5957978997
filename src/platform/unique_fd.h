// Owns one open file descriptor.
#pragma once

#include <fcntl.h>
#include <unistd.h>

namespace platform {

class UniqueFd {
 public:
  explicit UniqueFd(int fd) : fd_(fd) {}
  // Opens `path` for reading.
  static UniqueFd openForReading(const char* path) { return UniqueFd(::open(path, O_RDONLY | O_CLOEXEC)); }
  ~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd& operator=(UniqueFd&&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }

 private:
  int fd_;
};

}  // namespace platform
