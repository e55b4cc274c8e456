#define CORVANE_NUMPY_API_OWNER
#include "bindings/numpy_api.hpp"

namespace corvane::bindings {

int import_numpy() { return _import_array(); }

}  // namespace corvane::bindings
