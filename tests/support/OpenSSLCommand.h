#pragma once

#include <QByteArray>
#include <QStringList>

namespace nerova::test {

// Runs `openssl arguments...` (scripts/bootstrap installs it) and yields its standard output; on
// failure warns with its error output and yields "<openssl failed>", which no comparison accepts.
QByteArray openssl(const QStringList& arguments);

} // namespace nerova::test
