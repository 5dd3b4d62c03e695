#pragma once

#include "rules/FingerprintFile.h"
#include "ui/ItemTreeModel.h"

namespace nerova {

// How the fingerprint browser writes the parts of a fingerprint file.
namespace fingerprinttree {

// "Fingerprint file version: N".
QString versionText(const FingerprintFile& file);
// locationId:levelId:zoneId:placeId and one space; an absent part is written as nothing.
QString locationText(const LocationPoint& point);
// The line of one condition, "???" standing in for a missing argument ("Ping ???").
QString conditionText(const FingerprintCondition& condition);

// One section per fingerprint (its "name:" and "Location:" lines), one row per rule, one row per
// condition with its "Inverted" box in column 1; the nested rules of an "or" are not listed.
std::vector<ItemNode> nodes(const FingerprintFile& file);

} // namespace fingerprinttree

} // namespace nerova
