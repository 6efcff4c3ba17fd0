#pragma once

#include <QByteArray>

namespace tavrel {

// The reason phrase for a status line, e.g. "Not Found" for 404; "Status" for a code it does
// not know. Shared by the catalogue server and the tests' scripted server.
QByteArray httpReasonPhrase(int status);

} // namespace tavrel
