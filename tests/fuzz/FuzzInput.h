// The bytes of one fuzz input, taken from the front as small numbers; past the end every read
// gives 0, so that any input, however short, describes a whole run.
#pragma once

#include <cstddef>
#include <cstdint>

class FuzzInput {
  public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool Empty() const { return at_ >= size_; }
    std::size_t Left() const { return Empty() ? 0 : size_ - at_; }
    std::uint8_t Byte() { return Empty() ? 0 : data_[at_++]; }
    std::uint16_t Word() {
        const std::uint16_t high = Byte();
        return static_cast<std::uint16_t>(high << 8 | Byte());
    }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};
