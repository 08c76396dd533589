#include "Console.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sys/stat.h>
#ifdef _WIN32
#include <direct.h>
#endif

namespace rlzev
{
const char* const kServedReferenceScript = "window.ZEV_REFERENCE = null;  // served: the map comes from the device\n";

const SConsoleFile* FindConsoleFile(const std::string& a_strPath)
{
    const std::string strName = a_strPath == "/" ? "index.html" : a_strPath.substr(a_strPath.empty() ? 0 : 1);
    const SConsoleFile* const pEnd = g_aConsoleFiles + g_udwConsoleFileCount;
    const SConsoleFile* const pFile = std::find_if(g_aConsoleFiles, pEnd, [&](const SConsoleFile& a_rFile) {
        return a_rFile.m_eRole != EConsoleRole::WRITTEN && strName == a_rFile.m_pcName;
    });
    return pFile == pEnd ? nullptr : pFile;
}

namespace
{
bool WriteFile(const std::string& a_strPath, const char* a_pData, std::size_t a_uSize, std::string& a_rError)
{
    std::ofstream File(a_strPath, std::ios::binary | std::ios::trunc);
    File.write(a_pData, static_cast<std::streamsize>(a_uSize));
    if (!File)
        a_rError = "cannot write " + a_strPath;
    return static_cast<bool>(File);
}
} // namespace

bool WriteReference(const std::string& a_strFolder, const std::string& a_strMapJson, std::string& a_rError)
{
#ifdef _WIN32
    const int iMade = _mkdir(a_strFolder.c_str());
#else
    const int iMade = mkdir(a_strFolder.c_str(), 0755);
#endif
    if (iMade != 0 && errno != EEXIST)
    {
        a_rError = "cannot create " + a_strFolder + ": " + std::strerror(errno);
        return false;
    }
    for (unsigned i = 0; i < g_udwConsoleFileCount; ++i)
    {
        const SConsoleFile& rFile = g_aConsoleFiles[i];
        if (rFile.m_eRole == EConsoleRole::SERVED)
            continue;
        if (!WriteFile(a_strFolder + "/" + rFile.m_pcName, reinterpret_cast<const char*>(rFile.m_pData), rFile.m_uSize,
                       a_rError))
            return false;
    }
    // The map as a script: a page opened from disk may not fetch files beside it.
    const std::string strScript = "window.ZEV_REFERENCE = " + a_strMapJson + ";\n";
    return WriteFile(a_strFolder + "/reference.js", strScript.data(), strScript.size(), a_rError);
}
} // namespace rlzev
