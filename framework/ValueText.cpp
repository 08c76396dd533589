#include "ValueText.h"

#include <cstdint>
#include <cstdio>

namespace rlzev
{
namespace
{
bool IsSpace(char a_c)
{
    return a_c == ' ' || a_c == '\t' || a_c == '\n' || a_c == '\v' || a_c == '\f' || a_c == '\r';
}

int HexDigit(char a_c)
{
    if (a_c >= '0' && a_c <= '9')
        return a_c - '0';
    if (a_c >= 'a' && a_c <= 'f')
        return a_c - 'a' + 10;
    if (a_c >= 'A' && a_c <= 'F')
        return a_c - 'A' + 10;
    return -1;
}

const std::uint64_t kBeyond32Bits = 0x100000000ULL;

// Accumulates digits of the base, saturating just above 32 bits so huge texts stay cheap.
std::uint64_t Digits(const std::string& a_strText, std::size_t a_uPos, unsigned a_uBase)
{
    std::uint64_t uValue = 0;
    for (; a_uPos < a_strText.size(); ++a_uPos)
    {
        const int iDigit = HexDigit(a_strText[a_uPos]);
        if (iDigit < 0 || static_cast<unsigned>(iDigit) >= a_uBase)
            break;
        uValue = uValue * a_uBase + static_cast<unsigned>(iDigit);
        if (uValue > kBeyond32Bits)
            uValue = kBeyond32Bits + 1;
    }
    return uValue;
}
} // namespace

SParsedValue ParseValueText(const std::string& a_strText)
{
    static const char* const s_apcMarkers[] = {"/d", "/D", "/h", "/H"};
    SParsedValue Result;
    std::string strRest;
    bool bHex = false;
    for (unsigned i = 0; i < 4 && !Result.m_bHasMarker; ++i)
    {
        const std::size_t uAt = a_strText.find(s_apcMarkers[i]);
        if (uAt != std::string::npos)
        {
            Result.m_bHasMarker = true;
            bHex = i >= 2;
            strRest = a_strText.substr(0, uAt) + a_strText.substr(uAt + 2);
        }
    }
    if (!Result.m_bHasMarker)
        return Result;

    std::size_t uPos = 0;
    while (uPos < strRest.size() && IsSpace(strRest[uPos]))
        ++uPos;
    std::uint64_t uMagnitude = 0;
    if (bHex)
    {
        if (uPos + 1 < strRest.size() && strRest[uPos] == '0' && (strRest[uPos + 1] == 'x' || strRest[uPos + 1] == 'X'))
            uPos += 2;
        uMagnitude = Digits(strRest, uPos, 16);
        Result.m_bTooLarge = uMagnitude >= kBeyond32Bits;
    }
    else
    {
        const bool bNegative = uPos < strRest.size() && strRest[uPos] == '-';
        if (uPos < strRest.size() && (strRest[uPos] == '-' || strRest[uPos] == '+'))
            ++uPos;
        uMagnitude = Digits(strRest, uPos, 10);
        if (bNegative)
        {
            // Down to the smallest signed 32-bit number; the rest does not fit a register word.
            Result.m_bTooLarge = uMagnitude > 0x80000000ULL;
            uMagnitude = (kBeyond32Bits - uMagnitude) & 0xFFFFFFFFULL;
        }
        else
        {
            Result.m_bTooLarge = uMagnitude >= kBeyond32Bits;
        }
    }
    Result.m_udwValue = Result.m_bTooLarge ? 0xFFFFFFFFu : static_cast<unsigned>(uMagnitude);
    return Result;
}

std::string HexValueText(unsigned a_udwValue)
{
    char acText[16];
    std::snprintf(acText, sizeof acText, "%08X/h", a_udwValue);
    return acText;
}

std::string LowerHexText(unsigned a_udwValue)
{
    char acText[16];
    std::snprintf(acText, sizeof acText, "%x", a_udwValue);
    return acText;
}

std::string SignedDecimalText(unsigned a_udwValue)
{
    return std::to_string(static_cast<std::int32_t>(a_udwValue));
}
} // namespace rlzev
