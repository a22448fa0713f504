# Turns the version data file into a C++ table: cmake -DINPUT=... -DOUTPUT=... -DVERSION=... -P.
# Each "Key=Value" under "[Block]" becomes the query path "\Block\Key". VERSION is the project's
# version, which must agree with FileVersion so the two can never drift apart.
file(READ "${INPUT}" text)
if(text MATCHES ";")
  message(FATAL_ERROR "${INPUT}: ';' is not allowed in version data")
endif()
if(text MATCHES "\\)qbv\"")
  message(FATAL_ERROR "${INPUT}: the text )qbv\" is not allowed in version data")
endif()
string(REPLACE "\r" "" text "${text}")
string(REPLACE "\n" ";" lines "${text}")

set(block "")
set(entries "")
set(file_version "")
foreach(line IN LISTS lines)
  string(STRIP "${line}" line)
  if(line STREQUAL "" OR line MATCHES "^#")
    continue()
  elseif(line MATCHES "^\\[(.+)\\]$")
    set(block "${CMAKE_MATCH_1}")
  elseif(line MATCHES "^([^=]+)=(.*)$")
    if(block STREQUAL "")
      message(FATAL_ERROR "${INPUT}: value before the first [block]: ${line}")
    endif()
    string(STRIP "${CMAKE_MATCH_1}" key)
    string(STRIP "${CMAKE_MATCH_2}" value)
    string(APPEND entries "    {R\"qbv(\\${block}\\${key})qbv\", R\"qbv(${value})qbv\"},\n")
    if(key STREQUAL "FileVersion")
      set(file_version "${value}")
    endif()
  else()
    message(FATAL_ERROR "${INPUT}: not a block or a Key=Value line: ${line}")
  endif()
endforeach()

if(NOT file_version STREQUAL VERSION)
  message(FATAL_ERROR "${INPUT}: FileVersion ${file_version} differs from the project version ${VERSION}")
endif()

set(content "// Generated from Quillbox.version by GenerateVersionResource.cmake. Do not edit.
#include \"shell/VersionResource.h\"

namespace quillbox {

const VersionResourceEntry kCompiledVersionEntries[] = {
${entries}};
const size_t kCompiledVersionEntryCount = std::size(kCompiledVersionEntries);

}  // namespace quillbox
")
file(WRITE "${OUTPUT}" "${content}")
