# Compares the shared library's defined dynamic function symbols with the
# expected list (demangled, one per line, sorted).
execute_process(COMMAND nm -DC --defined-only ${LIBRARY}
  OUTPUT_VARIABLE nm_out RESULT_VARIABLE nm_rc)
if(NOT nm_rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REPLACE "\n" ";" lines "${nm_out}")
set(actual "")
foreach(line IN LISTS lines)
  # Text symbols only: data and the linker's own markers are not exports.
  if(line MATCHES "^[0-9a-f]+ [TW] (.+)$")
    list(APPEND actual "${CMAKE_MATCH_1}")
  endif()
endforeach()
list(SORT actual)
file(STRINGS ${EXPECTED} expected)
list(FILTER expected EXCLUDE REGEX "^#|^$")
list(SORT expected)
if(NOT actual STREQUAL expected)
  set(extra ${actual})
  list(REMOVE_ITEM extra ${expected})
  set(missing ${expected})
  list(REMOVE_ITEM missing ${actual})
  message(FATAL_ERROR "exported functions differ from ${EXPECTED}\n"
    "unexpected exports: ${extra}\nmissing exports: ${missing}")
endif()
list(LENGTH actual n)
message(STATUS "${n} exported functions as expected")
