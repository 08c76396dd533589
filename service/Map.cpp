#include "Map.h"

#include "Catalogue.h"

#include <boost/beast/zlib/deflate_stream.hpp>
#include <boost/crc.hpp>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstdio>

namespace rlzev
{
std::string Gzip(const std::string& a_strText)
{
    namespace zlib = boost::beast::zlib;
    // The header of a member without a name or time: deflate, no flags, mtime 0, best
    // compression, unknown system.
    std::string strOut("\x1f\x8b\x08\x00\x00\x00\x00\x00\x02\xff", 10);
    zlib::deflate_stream Stream;
    Stream.reset(9, 15, 8, zlib::Strategy::normal);
    std::string strBody(Stream.upper_bound(a_strText.size()) + 64, '\0');
    zlib::z_params Params;
    Params.next_in = a_strText.data();
    Params.avail_in = a_strText.size();
    Params.next_out = &strBody[0];
    Params.avail_out = strBody.size();
    boost::system::error_code Error;
    Stream.write(Params, zlib::Flush::finish, Error);
    strBody.resize(Params.total_out);
    strOut += strBody;
    boost::crc_32_type Crc;
    Crc.process_bytes(a_strText.data(), a_strText.size());
    for (std::uint32_t udwWord : {static_cast<std::uint32_t>(Crc.checksum()), static_cast<std::uint32_t>(a_strText.size())})
        for (int i = 0; i < 4; ++i)
            strOut += static_cast<char>((udwWord >> (8 * i)) & 0xFF);
    return strOut;
}

SServedMap ServeMap(const CCatalogue& a_rCatalogue)
{
    SServedMap Map;
    Map.m_strJson = CatalogueJson(a_rCatalogue);
    Map.m_strGzip = Gzip(Map.m_strJson);
    // FNV-1a of the text: the same map, the same tag, from one run to the next.
    std::uint64_t uddwHash = 14695981039346656037ull;
    for (char c : Map.m_strJson)
        uddwHash = (uddwHash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    char acTag[24];
    std::snprintf(acTag, sizeof acTag, "\"%016llx\"", static_cast<unsigned long long>(uddwHash));
    Map.m_strEtag = acTag;
    return Map;
}
} // namespace rlzev
