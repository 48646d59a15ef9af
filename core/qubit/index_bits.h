// Index arithmetic for the gates: opening zero bits at qubit positions in a
// running counter, so a gate generates exactly the basis states it touches
// instead of scanning all 2^n and testing bits.
#pragma once

#include <cstdint>

namespace zentrova::core {

// The bits below position p; 2^p - 1. Requires p < 64.
constexpr std::uint64_t low_bits_mask(std::uint64_t p) { return (std::uint64_t{1} << p) - 1; }

// v with a 0 bit opened at position p: bits below p stay, bits from p upward
// move up by one. Requires p < 63; a register has fewer than 60 qubits.
constexpr std::uint64_t insert_zero_bit(std::uint64_t v, std::uint64_t p) {
  return ((v >> p) << (p + 1)) | (v & low_bits_mask(p));
}

// insert_zero_bit with the mask of position p already formed, for loops that
// open the same position many times.
constexpr std::uint64_t insert_zero_bit_masked(std::uint64_t v, std::uint64_t low_mask) {
  return ((v & ~low_mask) << 1) | (v & low_mask);
}

// Opens positions lo < hi, the lower first: opening the higher one first would
// move the lower one.
constexpr std::uint64_t insert_zero_bits(std::uint64_t v, std::uint64_t lo, std::uint64_t hi) {
  return insert_zero_bit(insert_zero_bit(v, lo), hi);
}

// Opens positions lo < mid < hi, lowest first.
constexpr std::uint64_t insert_zero_bits(std::uint64_t v, std::uint64_t lo, std::uint64_t mid,
                                         std::uint64_t hi) {
  return insert_zero_bit(insert_zero_bit(insert_zero_bit(v, lo), mid), hi);
}

}  // namespace zentrova::core
