// Up-front size checks for allocations whose size comes from user input.
//
// On Linux a huge allocation may "succeed" and the process is killed later
// when the pages are touched. Before allocating the per-group products we
// therefore compare what will be needed with what the machine has, and turn
// an impossible request into std::bad_alloc (MemoryError in Python).
#pragma once

#include <cstdint>
#include <vector>
#include <initializer_list>

namespace corvane::lmm {

// Sizes in bytes of the arrays about to be allocated; throws std::bad_alloc
// when their total overflows 64 bits or exceeds the machine's memory (RAM +
// swap), since such a request can only end in the process being killed.
void require_memory(std::initializer_list<std::uint64_t> bytes);

// a * b, or throws std::bad_alloc on overflow (sizes of arrays to allocate).
std::uint64_t size_product(std::uint64_t a, std::uint64_t b);

// v.resize(size, 0.0), asking for huge pages when the growth is large: the
// per-group blocks are updated all over their extent when rows come in no
// group order, where small pages cost a page walk per row.
void resize_blocks(std::vector<double>& v, std::uint64_t size);

}  // namespace corvane::lmm
