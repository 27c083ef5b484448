# Packages. Debian: cpack -G DEB in the build folder makes byteneg_VERSION_ARCH.deb.
set(CPACK_PACKAGE_NAME byteneg)
set(CPACK_PACKAGE_VENDOR "The byteneg developers")
set(CPACK_PACKAGE_CONTACT "The byteneg developers <byteneg@users.noreply.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "write a copy of a file with every byte negated modulo 256")
set(CPACK_PACKAGE_DESCRIPTION
    "byteneg IN OUT writes a copy of IN in which every byte b becomes\n(256 - b) mod 256. \
The mapping undoes itself, so the same command turns\nthe negated file back into the original. \
It copies as fast as a plain\nuser-space copy, reports every failure and never leaves a partial output.")
if(WIN32)
    # Windows: cpack -G ZIP in the build folder makes byteneg-VERSION-win64.zip.
    set(CPACK_GENERATOR ZIP)
    set(CPACK_PACKAGE_FILE_NAME byteneg-${PROJECT_VERSION}-win64)
    set(CPACK_STRIP_FILES ON)
    include(CPack)
    if(BYTENEG_TESTS)
        add_test(NAME zip_package
                 COMMAND ${PROJECT_SOURCE_DIR}/tests/zip_test.sh ${PROJECT_BINARY_DIR}
                         ${PROJECT_VERSION} ${CMAKE_CROSSCOMPILING_EMULATOR})
        set_tests_properties(zip_package PROPERTIES LABELS package TIMEOUT 300)
    endif()
    return()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_BYTENEG_STRIP ${CMAKE_STRIP})
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/packaging/deb-prebuild.cmake)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)

include(CPack)
