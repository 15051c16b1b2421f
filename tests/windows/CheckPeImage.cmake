cmake_minimum_required(VERSION 3.25)
# Fails unless the PE image IMAGE exports exactly GetFilterVersion and
# HttpFilterProc, undecorated, and imports only DLLs that every Windows has.
# OBJDUMP is the mingw objdump for the image's architecture.
set(system_dlls kernel32.dll msvcrt.dll user32.dll advapi32.dll ntdll.dll)

execute_process(COMMAND ${OBJDUMP} -p ${IMAGE}
  OUTPUT_VARIABLE dump RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p failed on ${IMAGE}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${dump}")

# The export name table: "[Ordinal/Name Pointer] Table" followed by lines
# "\t[   0] Name", up to the first line of another kind.
set(exports "")
set(in_names FALSE)
foreach(line IN LISTS lines)
  if(line MATCHES "^\\[Ordinal/Name Pointer\\] Table")
    set(in_names TRUE)
  elseif(in_names)
    if(line MATCHES "^[ \t]*\\[ *[0-9]+\\] (.+)$")
      list(APPEND exports "${CMAKE_MATCH_1}")
    else()
      set(in_names FALSE)
    endif()
  endif()
endforeach()
list(SORT exports)
if(NOT exports STREQUAL "GetFilterVersion;HttpFilterProc")
  message(FATAL_ERROR "${IMAGE} exports: '${exports}'")
endif()

set(imports "")
foreach(line IN LISTS lines)
  if(line MATCHES "DLL Name: (.+)$")
    string(TOLOWER "${CMAKE_MATCH_1}" dll)
    list(APPEND imports ${dll})
  endif()
endforeach()
if(NOT imports)
  message(FATAL_ERROR "${IMAGE}: no import table found")
endif()
foreach(dll IN LISTS imports)
  if(NOT dll IN_LIST system_dlls)
    message(FATAL_ERROR "${IMAGE} imports ${dll}, which is not a system DLL")
  endif()
endforeach()
message(STATUS "exports: ${exports}; imports: ${imports}")
