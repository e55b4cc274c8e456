// Up-front size checks for allocations whose size comes from user input.
//
// On Linux a huge allocation may "succeed" and the process is killed later
// when the pages are touched. Before allocating the per-group products we
// therefore compare what will be needed with what the machine has, and turn
// an impossible request into std::bad_alloc (MemoryError in Python).
#pragma once

#include <cstdint>
#include <initializer_list>

namespace corvane::lmm {

// Sizes in bytes of the arrays about to be allocated; throws std::bad_alloc
// when their total overflows 64 bits or exceeds the machine's memory (RAM +
// swap), since such a request can only end in the process being killed.
void require_memory(std::initializer_list<std::uint64_t> bytes);

// a * b, or throws std::bad_alloc on overflow (sizes of arrays to allocate).
std::uint64_t size_product(std::uint64_t a, std::uint64_t b);

}  // namespace corvane::lmm
