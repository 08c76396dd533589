// The browser console's files (compiled into the service) and the static register
// reference written from them.
#pragma once

#include <cstddef>
#include <string>

namespace rlzev
{
enum class EConsoleRole
{
    BOTH,     // served and written to a reference
    SERVED,   // the served page, its parts inline
    WRITTEN,  // the page of a reference, its parts beside it
};

struct SConsoleFile
{
    const char* m_pcName;  // "index.html", "console.js", ...
    const char* m_pcType;  // its Content-Type
    const unsigned char* m_pData;
    std::size_t m_uSize;
    const unsigned char* m_pGzip;  // the same, gzip-compressed once at build time
    std::size_t m_uGzipSize;
    const char* m_pcEtag;          // a quoted entity tag of the content
    EConsoleRole m_eRole;
    const char* m_pcInline;        // the policy directives allowing its inline script and style
};

extern const SConsoleFile g_aConsoleFiles[];
extern const unsigned g_udwConsoleFileCount;

// The console file served at a path ("/" is index.html); null for any other path.
const SConsoleFile* FindConsoleFile(const std::string& a_strPath);

// What a served console loads as reference.js: no map, so it asks the device service.
extern const char* const kServedReferenceScript;

// The console's files and reference.js holding a_strMapJson (GET /api/v1/map's answer)
// into a_strFolder, which is created if missing: pages a browser opens from disk.
bool WriteReference(const std::string& a_strFolder, const std::string& a_strMapJson, std::string& a_rError);
} // namespace rlzev
