# Turns the page's files into a C++ source, so that the tool carries its page and
# needs no file at run time. Run as
#   cmake -DOUTPUT=web_assets.cpp -DASSETS="file;Function;file;Function..." -P embed.cmake
# Each Function() returns the file's bytes as a std::string_view.
set(text "// Generated from tools/netpod/web by embed.cmake; edit the files there.\n")
string(APPEND text "#include \"web_assets.h\"\n\nnamespace netpod::tool::serve {\nnamespace {\n")
set(functions "")
list(LENGTH ASSETS count)
math(EXPR last "${count} - 1")
foreach(i RANGE 0 ${last} 2)
  math(EXPR j "${i} + 1")
  list(GET ASSETS ${i} file)
  list(GET ASSETS ${j} function)
  file(READ "${file}" hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "((0x..,){24})" "\\1\n    " bytes "${bytes}")
  string(APPEND text "constexpr unsigned char k${function}[] = {\n    ${bytes}\n};\n")
  string(APPEND functions "std::string_view ${function}() {\n"
         "    return {reinterpret_cast<const char*>(k${function}), sizeof k${function}};\n}\n")
endforeach()
string(APPEND text "}  // namespace\n\n${functions}\n}  // namespace netpod::tool::serve\n")
# Rewrite only on change, so that an unchanged page rebuilds nothing.
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" old)
endif()
if(NOT old STREQUAL text)
  file(WRITE "${OUTPUT}" "${text}")
endif()
