# Run by CPack on its staging tree before it makes the packages: takes the
# compiler's .comment and .note sections out of every program, as Debian's
# own packages have them. CPack has already stripped the symbols.
if(NOT CPACK_READERTOOL_STRIP)
  message(FATAL_ERROR "no strip program: the packages would keep the compiler's notes")
endif()
file(GLOB_RECURSE _all LIST_DIRECTORIES false "${CPACK_TEMPORARY_DIRECTORY}/*")
set(_files ${_all})
list(FILTER _files INCLUDE REGEX "/bin/[^/]+$")
if(NOT _files)
  message(FATAL_ERROR "no program found under ${CPACK_TEMPORARY_DIRECTORY}")
endif()
foreach(f ${_files})
  execute_process(COMMAND "${CPACK_READERTOOL_STRIP}" --remove-section=.comment --remove-section=.note "${f}"
    COMMAND_ERROR_IS_FATAL ANY)
endforeach()
