// Compiled on Windows only: the host's <windows.h> first, then everything the library
// offers; a macro of <windows.h> spelled like a register, signal or enumerator would fail here.
#include <windows.h>

#include "ZEV.h"

#include <gtest/gtest.h>

TEST(WindowsHeaders, LibraryHeadersFollowWindowsH)
{
    EXPECT_EQ(static_cast<unsigned>(ZEV::FR1_TRIGGEN_CNTRL::CSignal_REPLACE_TRIGGER::NONE), 8u);
}
