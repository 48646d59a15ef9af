// The constants of the sine and cosine's argument reduction: the bits of 2/pi
// and of pi/2, far beyond any double's precision. A wrong word here shows in
// results only for arguments very close to a multiple of pi/2, and for the
// low words not at all, so the test checks every word against MPFR
// (TrigTest.ReductionTablesMatchMpfr).
#pragma once

#include <cstdint>

namespace zentrova::core {
namespace {

// The binary digits of 2/pi after the point, 64 to a word, most significant
// first: as many as a window of the widest working precision needs at the
// largest double. Word i is floor(2/pi * 2^(64(i+1))) mod 2^64, from MPFR's pi
// at 3000 bits (mpfr_const_pi, 2/pi rounded to nearest, then rounded down).
constexpr std::uint64_t kTwoOverPi[] = {
    0xA2F9836E4E441529, 0xFC2757D1F534DDC0, 0xDB6295993C439041, 0xFE5163ABDEBBC561,
    0xB7246E3A424DD2E0, 0x06492EEA09D1921C, 0xFE1DEB1CB129A73E, 0xE88235F52EBB4484,
    0xE99C7026B45F7E41, 0x3991D639835339F4, 0x9C845F8BBDF9283B, 0x1FF897FFDE05980F,
    0xEF2F118B5A0A6D1F, 0x6D367ECF27CB09B7, 0x4F463F669E5FEA2D, 0x7527BAC7EBE5F17B,
    0x3D0739F78A5292EA, 0x6BFB5FB11F8D5D08, 0x56033046FC7B6BAB, 0xF0CFBC209AF4361D,
    0xA9E391615EE61B08, 0x6599855F14A06840, 0x8DFFD8804D732731, 0x06061556CA73A8C9,
    0x60E27BC08C6B47C4, 0x19C367CDDCE8092A, 0x8359C4768B961CA6, 0xDDAF44D15719053E,
};

// pi/2 with one integer bit, most significant word first, rounded down: the
// words of floor(pi * 2^(64 * 12 - 2)), from the same MPFR computation.
constexpr std::uint64_t kHalfPi[] = {
    0xC90FDAA22168C234, 0xC4C6628B80DC1CD1, 0x29024E088A67CC74, 0x020BBEA63B139B22,
    0x514A08798E3404DD, 0xEF9519B3CD3A431B, 0x302B0A6DF25F1437, 0x4FE1356D6D51C245,
    0xE485B576625E7EC6, 0xF44C42E9A637ED6B, 0x0BFF5CB6F406B7ED, 0xEE386BFB5A899FA5,
};

}  // namespace
}  // namespace zentrova::core
