#include "parallel/interrupt.hpp"

namespace corvane::parallel {
namespace {

thread_local InterruptToken* t_token = nullptr;
// Its address identifies the thread that owns a token.
thread_local char t_identity = 0;

// Asks the source if the owner's poll interval has passed.
bool poll_owner(InterruptToken& token) {
    const auto now = std::chrono::steady_clock::now();
    if (now < token.next_poll) return token.stop.load(std::memory_order_relaxed);
    if (token.source->should_stop()) token.stop.store(true, std::memory_order_relaxed);
    // The interval counts from the end of the poll, which may have waited.
    token.next_poll = std::chrono::steady_clock::now() + kPollInterval;
    return token.stop.load(std::memory_order_relaxed);
}

}  // namespace

InterruptScope::InterruptScope(InterruptSource& source) : previous_(t_token) {
    token_.source = &source;
    token_.owner = &t_identity;
    token_.next_poll = std::chrono::steady_clock::now() + kPollInterval;
    t_token = &token_;
}

InterruptScope::~InterruptScope() { t_token = previous_; }

void check_interrupt() {
    InterruptToken* token = t_token;
    if (!token) return;
    if (token->stop.load(std::memory_order_relaxed)) throw Interrupted{};
    if (token->owner == &t_identity && poll_owner(*token)) throw Interrupted{};
}

bool poll_interrupt() {
    InterruptToken* token = t_token;
    if (!token) return false;
    if (token->owner != &t_identity) return token->stop.load(std::memory_order_relaxed);
    return poll_owner(*token);
}

namespace detail {
InterruptToken* current_token() { return t_token; }
void set_current_token(InterruptToken* token) {
    // Touch the identity too, so that a worker's thread-local storage is all
    // allocated the first time it is set up (see the pool's worker start).
    (void)t_identity;
    t_token = token;
}
}  // namespace detail

}  // namespace corvane::parallel
