# CPack pre-build script: gzips the manual pages in the staging tree, with
# -9n (no name or time stamp) so the package is reproducible. Without gzip
# the pages stay plain, which man reads as well.

file(GLOB_RECURSE pages
  "${CPACK_TEMPORARY_DIRECTORY}/*/share/man/man[1-9]/*.[1-9]")
if(NOT pages)
  return()
endif()
find_program(GZIP_EXECUTABLE gzip)
if(NOT GZIP_EXECUTABLE)
  message(WARNING "gzip not found: manual pages are packaged uncompressed")
  return()
endif()
foreach(page IN LISTS pages)
  execute_process(COMMAND "${GZIP_EXECUTABLE}" -9nf "${page}"
    RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "gzip ${page} failed: ${rc}")
  endif()
endforeach()
