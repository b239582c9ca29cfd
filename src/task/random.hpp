// xoshiro256**: the generator behind every start layout. Small, fast and exactly
// the same on every platform; each environment owns one, seeded from 256 bits.
#pragma once

#include <array>
#include <cstdint>

class Xoshiro256 {
 public:
  using State = std::array<uint64_t, 4>;

  // an all-zero state would only ever produce zeros: it is replaced by a fixed one
  void seed(const State& words) {
    state_ = words;
    if ((state_[0] | state_[1] | state_[2] | state_[3]) == 0) state_[0] = 0x9e3779b97f4a7c15ULL;
  }

  const State& state() const { return state_; }

  uint64_t next() {
    const uint64_t result = rotate_left(state_[1] * 5, 7) * 9;
    const uint64_t shifted = state_[1] << 17;
    state_[2] ^= state_[0];
    state_[3] ^= state_[1];
    state_[1] ^= state_[2];
    state_[0] ^= state_[3];
    state_[2] ^= shifted;
    state_[3] = rotate_left(state_[3], 45);
    return result;
  }

  // uniform in [0, 1): the top 53 bits as the mantissa of a double
  double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

 private:
  static uint64_t rotate_left(uint64_t value, int bits) {
    return (value << bits) | (value >> (64 - bits));
  }

  State state_ = {0x9e3779b97f4a7c15ULL, 0, 0, 0};
};
