#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>

// What the user reads and types: captions, paths, the target and replacement.
// Each job encodes a text into a file's own encoding only when it meets the file.
using Text = QString;
// Raw bytes with an explicit length; zero bytes are ordinary bytes.
using ByteBuffer = QByteArray;
// An ordered list of texts, possibly empty.
using TextList = QStringList;

// Joins texts in order into a new text.
template <typename... Texts>
Text concatTexts(const Texts&... parts)
{
    Text joined;
    (joined.append(parts), ...);
    return joined;
}

// Decimal digits, with a minus sign for negative numbers and no leading zeros.
Text toText(std::int64_t number);

// Reads an optional sign and leading decimal digits after leading blanks;
// anything else gives 0. The result is clamped to the signed 32-bit range.
std::int32_t toInteger(const Text& text);

// The nearest whole number; exact halves are rounded away from zero.
double roundNumber(double number);
