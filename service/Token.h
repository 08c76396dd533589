// The bearer token of a served device: made from the operating system's random source,
// kept in a file only its owner can read, compared without telling how much of it matched.
#pragma once

#include <string>

namespace rlzev
{
// 256 random bits as 64 hexadecimal digits.
std::string NewToken();
// Writes the token to a_strPath, readable and writable by its owner only; false on failure.
bool WriteTokenFile(const std::string& a_strPath, const std::string& a_strToken);
// The token in a_strPath (surrounding white space dropped); empty when it cannot be read.
std::string ReadTokenFile(const std::string& a_strPath);
// The file zevd writes its token to and zevctl reads it from unless told otherwise.
std::string DefaultTokenPath();
// Equal texts, in a time that depends on the expected text's length only.
bool SameToken(const std::string& a_strExpected, const std::string& a_strGiven);
} // namespace rlzev
