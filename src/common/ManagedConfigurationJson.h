#pragma once

#include "common/Json.h"

#include <QByteArray>

namespace nerova {

// Decodes the bytes of one policy file, which must hold one JSON object. Raises JsonDecodeError
// for malformed JSON and for any other kind of document.
Json decodeManagedPolicy(const QByteArray& bytes);

} // namespace nerova
