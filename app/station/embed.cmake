# Turns the page into a header: string literals of \x escapes, 32 bytes a
# line, so that any compiler takes it whatever the page holds.
#   cmake -DINPUT=page.html -DOUTPUT=station_page.h -P embed.cmake
file(READ ${INPUT} bytes HEX)
string(LENGTH "${bytes}" length)
set(lines "")
foreach(at RANGE 0 ${length} 64)
  string(SUBSTRING "${bytes}" ${at} 64 piece)
  if(piece STREQUAL "")
    break()
  endif()
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "\\\\x\\1" piece "${piece}")
  string(APPEND lines "    \"${piece}\"\n")
endforeach()
file(WRITE ${OUTPUT} "// Made from page.html by embed.cmake: the station's page.\n#pragma once\n\n"
     "namespace fwdl::station {\n\ninline constexpr char kStationPage[] =\n${lines};\n\n"
     "}  // namespace fwdl::station\n")
