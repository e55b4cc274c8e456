// The system's own error: invalid data or arguments detected by the core.
// The bindings raise it as ValueError with its message unchanged. Outcomes
// such as an infeasible theta are returned values, never exceptions.
#pragma once

#include <stdexcept>
#include <string>

namespace corvane::lmm {

class InvalidInput : public std::runtime_error {
public:
    explicit InvalidInput(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace corvane::lmm
