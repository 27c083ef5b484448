# Runs in CPack's staging folder before the .deb or .rpm is made.
#
# The install puts the project's README and licence in the doc folder; a
# package has its copyright file, which holds the licence, and its changelog
# there instead. With fixed permissions: the checkout's follow its umask.
if(CPACK_GENERATOR STREQUAL "RPM" AND CPACK_BYTENEG_ABSOLUTE_DOCDIR)
    message(FATAL_ERROR "the .rpm needs CMAKE_INSTALL_DOCDIR relative to the prefix, not "
                        "${CPACK_BYTENEG_ABSOLUTE_DOCDIR}")
endif()
# The doc folder is wherever the install put the README, which a folder given
# as a whole path (CMAKE_INSTALL_DOCDIR=/usr/share/doc/...) puts elsewhere
# than the prefix and a relative one.
file(GLOB_RECURSE readme "${CPACK_TEMPORARY_DIRECTORY}/README.md")
list(LENGTH readme found)
if(NOT found EQUAL 1)
    message(FATAL_ERROR "not one README.md under ${CPACK_TEMPORARY_DIRECTORY}: ${readme}")
endif()
get_filename_component(doc "${readme}" DIRECTORY)
file(REMOVE "${doc}/README.md" "${doc}/LICENSE")
file(COPY "${CMAKE_CURRENT_LIST_DIR}/copyright" "${CMAKE_CURRENT_LIST_DIR}/changelog"
     DESTINATION "${doc}" FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
# A package with a Debian revision keeps its Debian changelog under that name.
if(CPACK_GENERATOR STREQUAL "DEB")
    file(RENAME "${doc}/changelog" "${doc}/changelog.Debian")
    set(overrides "${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}/share/lintian/overrides")
    file(MAKE_DIRECTORY "${overrides}")
    # With fixed permissions: the checkout's follow its umask.
    file(COPY "${CMAKE_CURRENT_LIST_DIR}/lintian-overrides" DESTINATION "${overrides}"
         FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    file(RENAME "${overrides}/lintian-overrides" "${overrides}/byteneg")
endif()
#
# Debian wants man pages and the changelog compressed, with maximum
# compression and no time stamp in the gzip header, so that the package
# builds reproducibly.
file(GLOB_RECURSE to_compress "${CPACK_TEMPORARY_DIRECTORY}/*/share/man/man*/*.[1-9]"
     "${doc}/changelog*")
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

# A cross build has no libc6 of its architecture for dpkg-shlibdeps to ask:
# the newest GLIBC_x.y symbol version the binary calls for is the C library
# it needs, which Debian's libc6 provides from version x.y on.
if(CPACK_GENERATOR STREQUAL "DEB" AND NOT CPACK_DEBIAN_PACKAGE_SHLIBDEPS)
    set(glibc 0)
    foreach(f IN LISTS binaries)
        execute_process(COMMAND "${CPACK_BYTENEG_OBJDUMP}" -T "${f}" OUTPUT_VARIABLE symbols
                        RESULT_VARIABLE rc)
        if(NOT rc EQUAL 0)
            message(FATAL_ERROR "objdump -T ${f} failed: ${rc}")
        endif()
        string(REGEX MATCHALL "GLIBC_[0-9]+\\.[0-9.]+" versions "${symbols}")
        foreach(v IN LISTS versions)
            string(REPLACE "GLIBC_" "" v "${v}")
            if(v VERSION_GREATER glibc)
                set(glibc ${v})
            endif()
        endforeach()
    endforeach()
    if(glibc VERSION_EQUAL 0)
        message(FATAL_ERROR "no GLIBC symbol version in ${binaries}")
    endif()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= ${glibc})")
    message(STATUS "Depends: ${CPACK_DEBIAN_PACKAGE_DEPENDS}")
endif()

# Every file dated to the release's time stamp, as the .deb and tarballs are:
# rpmbuild only clamps later times to it, and a long-lived checkout holds
# files older than its last commit.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
    execute_process(COMMAND find "${CPACK_TEMPORARY_DIRECTORY}" -exec
                            touch -h -d "@$ENV{SOURCE_DATE_EPOCH}" {} +
                    RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "dating the staged files failed: ${rc}")
    endif()
endif()
