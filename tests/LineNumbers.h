#pragma once

#include <cctype>
#include <string>

// Report lines carry source line numbers (":150:"); the tests name them ":#:".
inline std::string HideLineNumbers(const std::string& a_strText)
{
    std::string strOut;
    for (std::size_t i = 0; i < a_strText.size(); ++i)
    {
        std::size_t j = i + 1;
        while (a_strText[i] == ':' && j < a_strText.size() && isdigit(static_cast<unsigned char>(a_strText[j])))
            ++j;
        if (j > i + 1 && j < a_strText.size() && a_strText[j] == ':')
        {
            strOut += ":#:";
            i = j;
        }
        else
            strOut += a_strText[i];
    }
    return strOut;
}
