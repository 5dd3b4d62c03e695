#pragma once

#include "rules/FingerprintFile.h"

#include <QTextStream>

namespace nerova {

// A readable account of a fingerprint file: version, creation time, and every fingerprint with
// its location, rules and conditions.
void writeFingerprintSummary(QTextStream& out, const FingerprintFile& file);

} // namespace nerova
