#include "lmm/evaluate.hpp"

#include "lmm/blocks_evaluator.hpp"

namespace corvane::lmm {

std::optional<EvalResult> evaluate(const LmmData& design, std::span<const double> theta, bool reml,
                                   EvalMode mode, const EvalOptions& options) {
    switch (design.evaluator) {
        case EvaluatorKind::Aggregated:
            if (design.classes) throw NotAvailable("the aggregated evaluator is not available yet");
            return evaluate_blocks(design, theta, reml, mode, options);
        case EvaluatorKind::Streaming:
            throw NotAvailable("the streaming evaluator is not available yet");
        default:
            return evaluate_blocks(design, theta, reml, mode, options);
    }
}

}  // namespace corvane::lmm
