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
// The token a served device's program starts with from a token file: the file's token, or with
// a_bCreate and no file at all at that path, a new one (a_rbNew; the caller writes it once the
// address is its own). A file that cannot be read is never replaced: its token is empty.
std::string TokenToServe(const std::string& a_strPath, bool a_bCreate, bool& a_rbNew);
// A listen address, "127.0.0.1:7411", "[::1]:7411" or "0.0.0.0:0" (any free port), as its
// host and port; false when it is none.
bool SplitListen(const std::string& a_strListen, std::string& a_rHost, int& a_riPort);
// The other way: "127.0.0.1:7411", "[::1]:7411" (an IPv6 host in brackets, as a URL has it).
std::string JoinListen(const std::string& a_strHost, int a_iPort);
// The file zevd writes its token to and zevctl reads it from unless told otherwise.
std::string DefaultTokenPath();
// Equal texts, in a time that depends on the expected text's length only.
bool SameToken(const std::string& a_strExpected, const std::string& a_strGiven);
} // namespace rlzev
