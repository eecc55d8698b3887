#pragma once
// Conversions between the client's text forms: Qt strings, UTF-8 byte strings and numbers.

#include <QString>
#include <string>

namespace lumora {

// UTF-8 bytes of a Qt string.
std::string toUtf8(const QString& text);
// Qt string of UTF-8 bytes; invalid sequences become replacement characters.
QString fromUtf8(const std::string& bytes);

}  // namespace lumora
