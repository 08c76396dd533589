# rl_zev_c.def from rl_zev_c.h: every function the header declares with ZEV_API, in the
# header's order. cmake -DHEADER=rl_zev_c.h -DDEF=rl_zev_c.def -P MakeDef.cmake
file(READ "${HEADER}" text)
string(REGEX MATCHALL "ZEV_API[^;(]*ZEV_CALL[ \t\r\n]+[A-Za-z_0-9]+[ \t]*\\(" declarations "${text}")
if(NOT declarations)
  message(FATAL_ERROR "${HEADER} declares no ZEV_API function")
endif()
set(def "LIBRARY rl_zev_c.dll\nEXPORTS\n")
foreach(declaration IN LISTS declarations)
  string(REGEX REPLACE ".*ZEV_CALL[ \t\r\n]+([A-Za-z_0-9]+).*" "\\1" name "${declaration}")
  string(APPEND def "    ${name}\n")
endforeach()
file(WRITE "${DEF}" "${def}")
