// zevctl: the service tool, on the simulated ZEV in-process or on a zevd server. Kept
// callable in-process for its tests.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

// Exit codes.
enum EZevctlExit
{
    ZEVCTL_OK = 0,         // every command succeeded
    ZEVCTL_REFUSED = 1,    // the library refused a command or reported an error
    ZEVCTL_USAGE = 2,      // the command line or a script line is malformed
    ZEVCTL_NO_SCRIPT = 3,  // a file cannot be opened (a script, a set) or written (a set, the output)
    ZEVCTL_UNREACHABLE = 4 // no answer from the server, or the server refused the token
};

// a_rArgs without the program name; a_rIn serves "run" without a file.
int RunZevctl(const std::vector<std::string>& a_rArgs, std::istream& a_rIn, std::ostream& a_rOut, std::ostream& a_rErr);
