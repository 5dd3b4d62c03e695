# Shared helpers for the project's targets.

# Warnings that apply to our own code only (not to third-party headers).
add_library(nerova_warnings INTERFACE)
target_compile_options(nerova_warnings INTERFACE -Wall -Wextra -Werror)

# nerova_add_library(NAME SOURCES ... DEPS ...)
# One static library per folder of src/.
function(nerova_add_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${ARG_DEPS} PRIVATE nerova_warnings)
  set_target_properties(${name} PROPERTIES AUTOMOC ON)
endfunction()

# Every Qt Test runs through this script, so that a test that skipped (QSKIP, which exits 0) shows
# as skipped, status 77, instead of passed. SKIP_REGULAR_EXPRESSION would not do: CTest lets a match
# win over a failing status, so a test that skipped one function and failed another would pass as skipped.
set(NEROVA_REPORT_SKIPS ${PROJECT_SOURCE_DIR}/tests/support/report-skips.sh)

# nerova_add_test(NAME SOURCES ... LIBS ... [LABELS ...] [TIMEOUT seconds])
# A Qt Test executable registered with CTest. Label "unit" marks tests that the sanitizer build runs.
function(nerova_add_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} nerova_platform nerova_test_support Qt6::Test nerova_warnings)
  set_target_properties(${name} PROPERTIES AUTOMOC ON)
  add_test(NAME ${name} COMMAND ${NEROVA_REPORT_SKIPS} $<TARGET_FILE:${name}>)
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  set_tests_properties(${name} PROPERTIES LABELS "${ARG_LABELS}" TIMEOUT ${ARG_TIMEOUT} SKIP_RETURN_CODE 77
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;NEROVA_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
endfunction()
