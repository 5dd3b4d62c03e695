#pragma once

#include <QString>

#include <chrono>
#include <memory>
#include <optional>

struct URegularExpression;

namespace nerova {

// A regular expression in the ICU dialect with the default options (case-sensitive, unanchored),
// whose searches run against a time budget: a pattern that backtracks without end cannot hold the
// event loop.
class PatternMatcher {
public:
    // The compiled pattern, or nothing when it is not a valid regular expression.
    static std::optional<PatternMatcher> compile(const QString& pattern);

    // Whether the pattern matches anywhere in `text`. The time spent is taken from `budget`;
    // nothing when the budget ran out first (or the search gave up for lack of memory), in which
    // case `budget` is left at zero.
    std::optional<bool> search(const QString& text, std::chrono::nanoseconds& budget);

private:
    struct Close {
        void operator()(URegularExpression* expression) const;
    };

    explicit PatternMatcher(URegularExpression* expression) : expression_(expression) {}

    std::unique_ptr<URegularExpression, Close> expression_;
};

} // namespace nerova
