# Cross build for Windows hosts with Debian's MinGW-w64 compiler; tests run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(RL_ZEV_MINGW x86_64-w64-mingw32)
# The posix thread model: GoogleTest needs std::mutex.
set(CMAKE_C_COMPILER ${RL_ZEV_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${RL_ZEV_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${RL_ZEV_MINGW}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${RL_ZEV_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Test programs run through Wine; its search path (WINEPATH) must reach the MinGW runtime DLLs.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
