// Value texts of the service interface (internal, not installed).
#pragma once

#include <string>

namespace rlzev
{
struct SParsedValue
{
    bool m_bHasMarker = false;  // "/d", "/D", "/h" or "/H" found
    bool m_bTooLarge = false;   // the number does not fit 32 bits
    unsigned m_udwValue = 0;
};

// Decimal with "/d" or "/D", hexadecimal with "/h" or "/H"; the first marker found in
// that order decides and is removed wherever it stands. Negative decimals wrap to two's
// complement; a number beyond 32 bits saturates and is flagged.
SParsedValue ParseValueText(const std::string& a_strText);

// Eight upper-case hexadecimal digits and "/h": a read's text can be written back unchanged.
std::string HexValueText(unsigned a_udwValue);

// Lower-case hexadecimal digits without prefix or leading zeros.
std::string LowerHexText(unsigned a_udwValue);

// The value as a signed 32-bit decimal (4294967295 gives -1).
std::string SignedDecimalText(unsigned a_udwValue);
} // namespace rlzev
