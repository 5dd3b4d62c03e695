#pragma once

#include <QByteArray>
#include <QStringList>

namespace nerova::test {

// Whether the openssl command line is installed (scripts/bootstrap installs it).
bool haveOpenSSL();

// Runs `openssl arguments...` and yields its standard output; on failure warns with its error
// output and yields "<openssl failed>", which no comparison accepts.
QByteArray openssl(const QStringList& arguments);

} // namespace nerova::test
