#include "rules/CheckSnapshot.h"

#include "rules/CIDRv4.h"

namespace nerova {

CheckSnapshot::CheckSnapshot(const NetworkContext& context, std::chrono::nanoseconds patternBudget,
                             CancellationToken cancellation)
    : context_(context),
      values_(context.internalAddresses.size()),
      patternTimeLeft_(patternBudget),
      cancellation_(std::move(cancellation))
{}

std::optional<bool> CheckSnapshot::search(PatternMatcher& matcher, const QString& text)
{
    return matcher.search(text, patternTimeLeft_);
}

qint64 CheckSnapshot::addressValue(std::size_t index)
{
    Parsed& parsed = values_[index];
    if (!parsed.done) {
        parsed.done = true;
        try {
            parsed.value = CIDRv4::dottedQuadValue(context_.internalAddresses[index].address);
        } catch (...) {
            parsed.error = std::current_exception();
        }
    }
    if (parsed.error) {
        std::rethrow_exception(parsed.error);
    }
    return parsed.value;
}

} // namespace nerova
