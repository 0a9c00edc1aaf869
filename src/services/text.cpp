#include "services/text.h"

#include <cmath>
#include <limits>

Text toText(std::int64_t number)
{
    return QString::number(number);
}

namespace {

// ASCII digits, and the full-width ones a Chinese input method types.
int decimalDigit(QChar c)
{
    if (c >= u'0' && c <= u'9')
        return c.unicode() - u'0';
    if (c >= u'\uFF10' && c <= u'\uFF19')
        return c.unicode() - u'\uFF10';
    return -1;
}

}  // namespace

std::int32_t toInteger(const Text& text)
{
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n && (text[i] == u' ' || text[i] == u'\t' || text[i] == u'\u3000'))
        ++i;
    bool negative = false;
    if (i < n && (text[i] == u'+' || text[i] == u'-')) {
        negative = text[i] == u'-';
        ++i;
    }
    constexpr std::int64_t maxMagnitude = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
    std::int64_t magnitude = 0;
    bool anyDigit = false;
    for (; i < n && decimalDigit(text[i]) >= 0; ++i) {
        anyDigit = true;
        // Stop growing once past the range; the clamp below gives the bound.
        if (magnitude <= maxMagnitude)
            magnitude = magnitude * 10 + decimalDigit(text[i]);
    }
    if (!anyDigit)
        return 0;
    if (negative)
        return magnitude >= maxMagnitude ? std::numeric_limits<std::int32_t>::min()
                                         : static_cast<std::int32_t>(-magnitude);
    return magnitude > std::numeric_limits<std::int32_t>::max() ? std::numeric_limits<std::int32_t>::max()
                                                                : static_cast<std::int32_t>(magnitude);
}

double roundNumber(double number)
{
    return std::round(number);
}
