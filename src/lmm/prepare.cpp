// Construction of a core's design: products first, then the kernel choice.
#include <algorithm>

#include "lmm/lmm_data.hpp"
#include "platform/checked.hpp"

namespace corvane::lmm {

bool dimensions_fit(std::uint64_t m, std::uint64_t p, std::uint64_t q) {
    std::uint64_t mq = 0, width = 0, total = 0;
    if (platform::mul_overflows(m, q, mq)) return false;
    // 2*max(q, p+1) + 2 itself must not wrap.
    const std::uint64_t wide = std::max(q, p + 1);
    if (p + 1 == 0 || platform::mul_overflows(wide, std::uint64_t{2}, width) ||
        platform::add_overflows(width, std::uint64_t{2}, width))
        return false;
    return !platform::mul_overflows(mq, width, total);
}

void choose_kernel(Products& products, EvaluatorKind requested, Schedule schedule) {
    Design& design = *products.design;
    switch (requested) {
        case EvaluatorKind::Blocks:
        case EvaluatorKind::Streaming:
            design.evaluator = requested;
            break;
        case EvaluatorKind::Aggregated:
        case EvaluatorKind::Auto: {
            std::optional<std::uint64_t> limit;
            if (requested == EvaluatorKind::Auto) limit = class_limit(design.m, design.p, design.q);
            design.classes = Classes::build(design.q, design.p, design.m, design.ztz.data(), design.ztx.data(),
                                            limit, schedule);
            design.evaluator = design.classes ? EvaluatorKind::Aggregated : EvaluatorKind::Blocks;
            if (design.classes)
                products.response.class_ysums =
                    class_response_sums(*design.classes, design.q, design.p, design.ztx.data(),
                                        products.response.zty.data(), schedule);
            break;
        }
    }
}

std::unique_ptr<LmmData> prepare(const RowsView& rows, std::uint64_t m, EvaluatorKind requested,
                                 Schedule schedule) {
    Products products = products_from_rows(rows, m, schedule);
    choose_kernel(products, requested, schedule);
    return std::make_unique<LmmData>(LmmData{std::move(products.design), std::move(products.response)});
}

}  // namespace corvane::lmm
