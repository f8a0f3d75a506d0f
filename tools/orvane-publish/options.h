#pragma once

#include <QString>
#include <QtGlobal>

namespace publish {

// Reads a byte count: a decimal number, optionally followed by K, M or G (powers of 1024).
bool parseByteCount(const QString& text, quint64& value);

// Reads "yes"/"true"/"1" or "no"/"false"/"0".
bool parseSwitch(const QString& text, bool& value);

} // namespace publish
