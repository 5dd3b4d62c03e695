#pragma once

#include "common/Json.h"

#include <QString>

namespace nerova {

// The public-IP lookup service's answer: a JSON object whose "ip" field holds the address.
struct PublicIPAnswer {
    QString ip; // exactly as received, neither validated nor normalised

    static PublicIPAnswer fromJson(const Json& json, const QString& path);
};

} // namespace nerova
