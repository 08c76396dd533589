// The device's register map as the service hands it out (GET /api/v1/map, the console's
// tree, the static reference, register sets): JSON made from the runtime's catalogue, once
// per service, kept with its gzip form and entity tag so that a request costs no rebuild.
#pragma once

#include "RegisterSet.h"  // CatalogueJson

#include <string>

namespace rlzev
{

struct SServedMap
{
    std::string m_strJson;
    std::string m_strGzip;
    std::string m_strEtag;  // quoted, as the header carries it
};

SServedMap ServeMap(const CCatalogue& a_rCatalogue);
// A gzip member (RFC 1952) of a_strText, as a browser takes it.
std::string Gzip(const std::string& a_strText);
} // namespace rlzev
