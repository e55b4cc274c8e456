// The row kernels compiled for the machine's vector unit (row_kernels.hpp's
// loops in a translation unit of their own), behind plain function pointers
// chosen at run time; the baseline templates run where a pointer is null.
#pragma once

#include <cstdint>

#include "lmm/row_reader.hpp"

namespace corvane::lmm {

// The rows as the kernels read them.
struct RowKernelArgs {
    const double* y;
    const double* x;
    const double* z;
    std::uint64_t p, q;
    const RowTransformView* transform;  // null: rows as they are
};

// fixed_chunk: rows [begin, end) into zeroed X'X and X'y partials; y'y.
using FixedChunkFn = double (*)(const RowKernelArgs&, std::uint64_t begin, std::uint64_t end, double* xtx,
                                double* xty, bool with_xtx);
// add_group_runs and add_listed_rows (row_kernels.hpp).
using GroupRunsFn = void (*)(const RowKernelArgs&, const std::uint64_t* offsets, std::uint64_t first,
                             std::uint64_t end, double* ztz, double* ztx, double* zty);
using ListedRowsFn = void (*)(const RowKernelArgs&, const std::int64_t* codes, std::uint64_t start,
                              const std::uint32_t* mine, std::uint64_t count, double* ztz, double* ztx, double* zty);

struct RowKernelTable {
    FixedChunkFn fixed = nullptr;
    GroupRunsFn runs = nullptr;
    ListedRowsFn listed = nullptr;
};

// The vector-unit kernels for p = 1..8 (fixed) and q = 1..3 (runs, listed),
// with or without a transform; null pointers when the machine has no vector
// unit this build has kernels for, or for other sizes.
RowKernelTable vector_row_kernels(std::uint64_t p, std::uint64_t q, bool transform);

}  // namespace corvane::lmm
