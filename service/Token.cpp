#include "Token.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

namespace rlzev
{
std::string NewToken()
{
    unsigned char aucBytes[32];
#ifdef _WIN32
    // MinGW's random_device draws from the system's cryptographic generator (rand_s).
    std::random_device Device;
    for (unsigned char& uc : aucBytes)
        uc = static_cast<unsigned char>(Device());
#else
    std::FILE* pFile = std::fopen("/dev/urandom", "rb");
    const bool bRead = pFile != nullptr && std::fread(aucBytes, 1, sizeof aucBytes, pFile) == sizeof aucBytes;
    if (pFile != nullptr)
        std::fclose(pFile);
    if (!bRead)
        throw std::runtime_error("cannot read /dev/urandom");
#endif
    static const char acDigits[] = "0123456789abcdef";
    std::string strToken;
    for (unsigned char uc : aucBytes)
    {
        strToken += acDigits[uc >> 4];
        strToken += acDigits[uc & 15];
    }
    return strToken;
}

bool WriteTokenFile(const std::string& a_strPath, const std::string& a_strToken)
{
    const std::string strText = a_strToken + "\n";
#ifdef _WIN32
    // A file in the user's profile is private to the user by the folder's access list.
    std::ofstream File(a_strPath, std::ios::binary | std::ios::trunc);
    File << strText;
    return static_cast<bool>(File);
#else
    ::unlink(a_strPath.c_str());  // a file of another mode or owner is replaced, not reused
    const int iFile = ::open(a_strPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_TRUNC, 0600);
    if (iFile < 0)
        return false;
    // Created here with 0600: the umask can only take bits away.
    const bool bOk = ::write(iFile, strText.data(), strText.size()) == static_cast<ssize_t>(strText.size());
    return ::close(iFile) == 0 && bOk;
#endif
}

std::string TokenToServe(const std::string& a_strPath, bool a_bCreate, bool& a_rbNew)
{
    std::error_code NoFile;
    a_rbNew = a_bCreate && std::filesystem::symlink_status(a_strPath, NoFile).type() == std::filesystem::file_type::not_found;
    return a_rbNew ? NewToken() : ReadTokenFile(a_strPath);
}

bool SplitListen(const std::string& a_strListen, std::string& a_rHost, int& a_riPort)
{
    const std::size_t uColon = a_strListen.rfind(':');
    if (uColon == std::string::npos || uColon == 0)
        return false;
    a_rHost = a_strListen.substr(0, uColon);
    if (a_rHost.size() > 2 && a_rHost.front() == '[' && a_rHost.back() == ']')
        a_rHost = a_rHost.substr(1, a_rHost.size() - 2);
    // Digits only (none at all, a sign or a space is refused), and no number too long for an int.
    const char* pcEnd = a_strListen.data() + a_strListen.size();
    unsigned uPort = 0;
    const auto Parsed = std::from_chars(a_strListen.data() + uColon + 1, pcEnd, uPort);
    if (Parsed.ec != std::errc() || Parsed.ptr != pcEnd || uPort > 65535)
        return false;
    a_riPort = static_cast<int>(uPort);
    return true;
}

std::string JoinListen(const std::string& a_strHost, int a_iPort)
{
    const bool bIPv6 = a_strHost.find(':') != std::string::npos;
    return (bIPv6 ? "[" + a_strHost + "]" : a_strHost) + ":" + std::to_string(a_iPort);
}

std::string ReadTokenFile(const std::string& a_strPath)
{
    std::ifstream File(a_strPath, std::ios::binary);
    std::string strText;
    if (!File || !std::getline(File, strText))
        return "";
    const std::size_t uFirst = strText.find_first_not_of(" \t\r\n");
    if (uFirst == std::string::npos)
        return "";
    return strText.substr(uFirst, strText.find_last_not_of(" \t\r\n") - uFirst + 1);
}

std::string DefaultTokenPath()
{
#ifdef _WIN32
    const char* pcHome = std::getenv("USERPROFILE");
#else
    const char* pcHome = std::getenv("HOME");
#endif
    return std::string(pcHome != nullptr && *pcHome != '\0' ? pcHome : ".") + "/.zevd-token";
}

bool SameToken(const std::string& a_strExpected, const std::string& a_strGiven)
{
    if (a_strExpected.empty())
        return false;
    unsigned uDiffer = a_strExpected.size() != a_strGiven.size() ? 1u : 0u;
    for (std::size_t i = 0; i < a_strExpected.size(); ++i)
    {
        const char cGiven = i < a_strGiven.size() ? a_strGiven[i] : '\0';
        uDiffer |= static_cast<unsigned char>(a_strExpected[i] ^ cGiven);
    }
    return uDiffer == 0;
}
} // namespace rlzev
