// Planning the passes over the array: which consecutive gates meet it
// together, tile by tile. Pure: it reads which positions each gate moves and
// nothing else, so it is tested without amplitudes; passes.h applies a plan.
//
// A tile is a set of an array's positions; the amplitudes whose other bits
// are fixed form one tile of the array, and every index lies in one tile. A
// gate whose moved positions lie inside the tile acts on each tile on its own,
// so a group of such gates can meet the array tile by tile, each tile (in the
// cache) meeting all of them before the next. The same planner groups a
// tile's gates into sub-groups one level down, the tile standing for the array.
#pragma once

#include <cstdint>

namespace zentrova::core {

// The tiles a planner may use: 2^bits amplitudes, made of the lowest
// positions and up to gathered_bits others above them (a tile that is not
// one contiguous run is gathered into a scratch tile before its gates run).
struct TileShape {
  std::uint64_t bits;
  std::uint64_t gathered_bits;
};

// Gates begin .. end-1 of a list, meeting the array together, on tiles with
// the positions in `inside`. A group of one gate meets the whole array alone.
struct Group {
  std::uint64_t begin;
  std::uint64_t end;
  std::uint64_t inside;
};

// Splits gates 0 .. count-1 of an array of qubit_count positions into groups,
// in order: each group takes the next gate as long as the positions all its
// gates move (moved[k] for gate k) still fit one tile of `tile`'s shape. Writes
// the groups to out, which holds count entries, and returns how many there are.
std::uint64_t plan_groups(const std::uint64_t* moved, std::uint64_t count,
                          std::uint64_t qubit_count, const TileShape& tile, Group* out);

}  // namespace zentrova::core
