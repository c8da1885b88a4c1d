# Run by CPack on the staged files before it makes the package: Debian keeps manual pages
# compressed with gzip -9n, whatever installed them.
file(GLOB_RECURSE pages "${CPACK_TEMPORARY_DIRECTORY}/*/share/man/*")
foreach(page IN LISTS pages)
  if(NOT page MATCHES "\\.gz$")
    execute_process(COMMAND gzip -9nf "${page}" RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "gzip ${page} failed: ${status}")
    endif()
  endif()
endforeach()
