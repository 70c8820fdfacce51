#pragma once

#include <QString>

#include <string_view>

// A QString that refers to a UTF-16 literal in read-only data instead of
// copying it; copies of it share the literal too. Only for text with static
// storage duration.
inline QString rawLiteral(std::u16string_view text)
{
    return QString::fromRawData(reinterpret_cast<const QChar *>(text.data()), qsizetype(text.size()));
}
