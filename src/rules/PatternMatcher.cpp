#include "rules/PatternMatcher.h"

#include <unicode/uregex.h>

namespace nerova {

namespace {

using Clock = std::chrono::steady_clock;

// Called by the search every few thousand steps; stops it once the deadline has passed.
UBool beforeDeadline(const void* context, int32_t)
{
    return Clock::now() < *static_cast<const Clock::time_point*>(context);
}

} // namespace

void PatternMatcher::Close::operator()(URegularExpression* expression) const { uregex_close(expression); }

std::optional<PatternMatcher> PatternMatcher::compile(const QString& pattern)
{
    UErrorCode status = U_ZERO_ERROR;
    UParseError position;
    URegularExpression* expression =
        uregex_open(reinterpret_cast<const UChar*>(pattern.utf16()), int32_t(pattern.size()), 0, &position, &status);
    if (U_FAILURE(status)) {
        uregex_close(expression);
        return std::nullopt;
    }
    return PatternMatcher(expression);
}

std::optional<bool> PatternMatcher::search(const QString& text, std::chrono::nanoseconds& budget)
{
    if (budget <= std::chrono::nanoseconds::zero()) {
        return std::nullopt;
    }
    const Clock::time_point start = Clock::now();
    const Clock::time_point deadline = start + budget;
    UErrorCode status = U_ZERO_ERROR;
    // The callback and its deadline are set for this search only.
    uregex_setMatchCallback(expression_.get(), beforeDeadline, &deadline, &status);
    uregex_setText(expression_.get(), reinterpret_cast<const UChar*>(text.utf16()), int32_t(text.size()), &status);
    const bool found = uregex_find(expression_.get(), 0, &status);
    uregex_setMatchCallback(expression_.get(), nullptr, nullptr, &status);
    budget -= std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start);
    if (U_FAILURE(status)) { // stopped at the deadline, or out of backtracking memory
        budget = std::chrono::nanoseconds::zero();
        return std::nullopt;
    }
    return found;
}

} // namespace nerova
