# Compiler settings shared by every target of the project.
set(CMAKE_CXX_VISIBILITY_PRESET hidden)
set(CMAKE_C_VISIBILITY_PRESET hidden)
set(CMAKE_VISIBILITY_INLINES_HIDDEN ON)

if(TOLVENIX_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(TOLVENIX_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT TOLVENIX_SANITIZE STREQUAL "")
  message(FATAL_ERROR "TOLVENIX_SANITIZE must be empty, 'address' or 'thread'")
endif()

if(TOLVENIX_COVERAGE)
  if(NOT TOLVENIX_SANITIZE STREQUAL "")
    message(FATAL_ERROR "TOLVENIX_COVERAGE does not combine with a sanitizer")
  endif()
  # Atomic counters: the worker and loader threads count alongside the
  # test thread, and racing updates would corrupt the counts.
  add_compile_options(--coverage -fprofile-update=atomic)
  add_link_options(--coverage)
endif()

function(tolvenix_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()
