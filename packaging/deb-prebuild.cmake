# Runs in CPack's staging folder before the .deb is made.
#
# Debian wants man pages and the changelog compressed, with maximum
# compression and no time stamp in the gzip header, so that the package
# builds reproducibly.
file(GLOB_RECURSE to_compress
     "${CPACK_TEMPORARY_DIRECTORY}/*/share/man/man*/*.[1-9]"
     "${CPACK_TEMPORARY_DIRECTORY}/*/share/doc/*/changelog")
if(NOT to_compress)
    message(FATAL_ERROR "no man page found under ${CPACK_TEMPORARY_DIRECTORY}")
endif()
foreach(f IN LISTS to_compress)
    execute_process(COMMAND gzip -9nf "${f}" RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "gzip ${f} failed: ${rc}")
    endif()
endforeach()

# As Debian's own packaging does, drop the sections a stripped binary still
# carries but nothing reads (the compiler's version string, mostly).
file(GLOB binaries "${CPACK_TEMPORARY_DIRECTORY}/*/bin/*")
foreach(f IN LISTS binaries)
    execute_process(COMMAND "${CPACK_BYTENEG_STRIP}" --remove-section=.comment
                            --remove-section=.note "${f}" RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "strip ${f} failed: ${rc}")
    endif()
endforeach()
