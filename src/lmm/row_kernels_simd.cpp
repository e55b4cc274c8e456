// row_kernels.hpp's loops compiled for one instruction set (CORVANE_ISA):
// X'X's and the group blocks' entries added several per instruction, the same
// additions in the same order as the baseline build's. As in group_lanes.cpp,
// nothing here instantiates a standard-library template on plain types.
#include "lmm/row_kernel_table.hpp"
#include "lmm/row_kernels.hpp"

namespace corvane::lmm {
inline namespace CORVANE_ISA {
namespace {

template <std::uint64_t P, bool T>
double fixed_rows(const RowKernelArgs& a, std::uint64_t begin, std::uint64_t end, double* xtx, double* xty,
                  bool with_xtx) {
    return fixed_chunk<P, T>(RowReader<T, P>(a.y, a.x, nullptr, a.p, 0, a.transform), a.p, begin, end, xtx, xty,
                             with_xtx);
}

template <std::uint64_t Q, std::uint64_t P, bool T>
void group_runs(const RowKernelArgs& a, const std::uint64_t* offsets, std::uint64_t first, std::uint64_t end,
                double* ztz, double* ztx, double* zty) {
    add_group_runs<Q, P, T>(RowReader<T, P, Q>(a.y, a.x, a.z, a.p, a.q, a.transform), offsets, first, end, ztz, ztx,
                            zty);
}

template <std::uint64_t Q, std::uint64_t P, bool T>
void listed_rows(const RowKernelArgs& a, const std::int64_t* codes, std::uint64_t start, const std::uint32_t* mine,
                 std::uint64_t count, double* ztz, double* ztx, double* zty) {
    add_listed_rows<Q, P, T>(RowReader<T, P, Q>(a.y, a.x, a.z, a.p, a.q, a.transform), codes, start, mine, count,
                             ztz, ztx, zty);
}

template <std::uint64_t P, bool T>
RowKernelTable table_for_q(std::uint64_t q) {
    RowKernelTable t;
    t.fixed = &fixed_rows<P, T>;
    switch (q) {
        case 1: t.runs = &group_runs<1, P, T>, t.listed = &listed_rows<1, P, T>; break;
        case 2: t.runs = &group_runs<2, P, T>, t.listed = &listed_rows<2, P, T>; break;
        case 3: t.runs = &group_runs<3, P, T>, t.listed = &listed_rows<3, P, T>; break;
        default: break;
    }
    return t;
}

template <bool T>
RowKernelTable table_for(std::uint64_t p, std::uint64_t q) {
    switch (p) {
        case 1: return table_for_q<1, T>(q);
        case 2: return table_for_q<2, T>(q);
        case 3: return table_for_q<3, T>(q);
        case 4: return table_for_q<4, T>(q);
        case 5: return table_for_q<5, T>(q);
        case 6: return table_for_q<6, T>(q);
        case 7: return table_for_q<7, T>(q);
        case 8: return table_for_q<8, T>(q);
        default: return {};
    }
}

}  // namespace
}  // namespace CORVANE_ISA

// The kernels of this instruction set; the caller has checked that the
// machine has it.
RowKernelTable simd_row_kernels(std::uint64_t p, std::uint64_t q, bool transform) {
    return transform ? table_for<true>(p, q) : table_for<false>(p, q);
}

}  // namespace corvane::lmm
