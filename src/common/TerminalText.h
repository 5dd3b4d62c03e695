#pragma once

#include <QString>

namespace nerova {

// Text from outside (names in a served file, interface names, error descriptions quoting either)
// as the commands print it: control characters are shown escaped (ESC as \x1b), so that nothing
// read from a file or the network can move the cursor or rewrite the terminal.
QString printable(const QString& text);

// `text` printable and in double quotes.
QString quoted(const QString& text);

} // namespace nerova
