// The heap type Accumulator, created in the module's exec step.
#pragma once

#include <vector>

#include "bindings/py_ref.hpp"

#include <cstdint>

#include "lmm/lmm_data.hpp"

namespace corvane::bindings {

// A new reference to the class object, or null with an exception set.
PyObject* create_accumulator_type(PyObject* module);

// Products as the dict Accumulator.to_arrays() gives (a new reference, or
// null with an exception set): "p", "q", "n", "m", "batches", "xtx", "xty",
// "yty", "ztz" (m, q, q), "ztx" (m, q, p), "zty" (m, q), "fingerprint",
// "fingerprint_known", and with a transform "y_shift", "y_scale",
// "x_shift", "x_scale", "z_shift", "z_scale" and, for reference columns,
// "x_ref", "x_ref_value", "z_ref", "z_ref_value". The arrays are copies,
// except that the per-group blocks are taken over from `moved` when given
// (its vectors then hold the design's ztz, ztx and the response's zty).
struct MovedBlocks {
    std::vector<double> ztz, ztx, zty;
};
PyObject* products_dict(const lmm::Design& design, const lmm::Response& response, std::uint64_t batches,
                        const lmm::RowTransform* transform, bool fingerprint_known, MovedBlocks* moved = nullptr);

}  // namespace corvane::bindings
