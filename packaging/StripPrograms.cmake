# Run by CPack on its staging tree before it builds the packages: strip the programs the way Debian's
# tools do, without the compiler's .comment and .note sections.
file(GLOB_RECURSE programs LIST_DIRECTORIES false "${CPACK_TEMPORARY_DIRECTORY}/*/usr/bin/*")
if(NOT programs)
  message(FATAL_ERROR "no programs found to strip under ${CPACK_TEMPORARY_DIRECTORY}")
endif()
foreach(program IN LISTS programs)
  execute_process(COMMAND strip --strip-unneeded --remove-section=.comment --remove-section=.note ${program}
    COMMAND_ERROR_IS_FATAL ANY)
endforeach()
