// fuzz_input.h - what every fuzz target reads its input with, and how it fails a check.
//
// Check aborts, so that libFuzzer keeps the input that broke an invariant. Input reads the fuzz
// input from the front; past its end every read gives 0 and Take gives what is left.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace qx::fuzz {

inline void Check(bool condition) {
  if (!condition) std::abort();
}

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool empty() const { return used_ >= size_; }
  std::uint8_t Byte() { return used_ < size_ ? data_[used_++] : 0; }
  std::uint16_t U16() {
    const std::uint16_t low = Byte();
    return static_cast<std::uint16_t>(low | (Byte() << 8));
  }
  std::string_view Take(std::size_t n) {
    if (n > size_ - used_) n = size_ - used_;
    const std::string_view bytes(reinterpret_cast<const char*>(data_ + used_), n);
    used_ += n;
    return bytes;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t used_ = 0;
};

}  // namespace qx::fuzz
