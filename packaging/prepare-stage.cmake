# Run by CPack on the staged files before it makes the package, so that the package holds the
# same bytes whoever builds it: manual pages compressed as Debian keeps them (gzip -9n: no name,
# no date), and modes that do not depend on the builder's umask (directories and programs 0755,
# every other file 0644). CPack dates every member with SOURCE_DATE_EPOCH and sorts them.
file(GLOB_RECURSE pages "${CPACK_TEMPORARY_DIRECTORY}/*/share/man/*")
foreach(page IN LISTS pages)
  if(NOT page MATCHES "\\.gz$")
    execute_process(COMMAND gzip -9nf "${page}" RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "gzip ${page} failed: ${status}")
    endif()
  endif()
endforeach()

foreach(kind "-type;d" "-type;f;-perm;/111" "-type;f;!;-perm;/111")
  if(kind MATCHES "!")
    set(mode 0644)
  else()
    set(mode 0755)
  endif()
  execute_process(COMMAND find "${CPACK_TEMPORARY_DIRECTORY}" ${kind} -exec chmod ${mode} {} +
                  RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "chmod ${mode} in ${CPACK_TEMPORARY_DIRECTORY} failed: ${status}")
  endif()
endforeach()
