# Packages. Debian: cpack -G DEB in the build folder makes byteneg_VERSION_ARCH.deb.
set(CPACK_PACKAGE_NAME byteneg)
set(CPACK_PACKAGE_VENDOR "The byteneg developers")
set(CPACK_PACKAGE_CONTACT "The byteneg developers <byteneg@users.noreply.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "write a copy of a file with every byte negated modulo 256")
set(CPACK_PACKAGE_DESCRIPTION
    "byteneg IN OUT writes a copy of IN in which every byte b becomes\n(256 - b) mod 256. \
The mapping undoes itself, so the same command turns\nthe negated file back into the original. \
It copies as fast as a plain\nuser-space copy, reports every failure and removes the partial output\nof a run that fails.")
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

# Linux: cpack -G DEB makes byteneg_VERSION-1_ARCH.deb, cpack -G RPM
# byteneg-VERSION-1.ARCH.rpm (rpmbuild, from Debian's rpm package). Both name
# the architecture the binary was built for, which for a cross build is not
# the build machine's.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# No Homepage (deb) or URL (rpm) field until the project has an address of its own.
set(CPACK_BYTENEG_OBJDUMP ${CMAKE_OBJDUMP})
# Debian's and RPM's names for the architecture, by the GNU triple the
# compiler builds for: Debian's multiarch tuple where the compiler tells it
# (i386-linux-gnu for g++ -m32), else the triple it was made for.
separate_arguments(byteneg_flags UNIX_COMMAND "${CMAKE_CXX_FLAGS}")
foreach(query -print-multiarch -dumpmachine)
    if(NOT byteneg_triple)
        execute_process(COMMAND ${CMAKE_CXX_COMPILER} ${byteneg_flags} ${query}
                        OUTPUT_VARIABLE byteneg_triple OUTPUT_STRIP_TRAILING_WHITESPACE
                        ERROR_QUIET)
    endif()
endforeach()
set(byteneg_architectures
    # triple           deb      rpm
    "^x86_64-          amd64    x86_64"
    "^i[3-6]86-        i386     i686"
    "^aarch64-         arm64    aarch64"
    "^arm.*-gnueabihf$ armhf    armv7hl"
    "^arm.*-gnueabi$   armel    armv5tel"
    "^riscv64-         riscv64  riscv64"
    "^powerpc64le-     ppc64el  ppc64le"
    "^s390x-           s390x    s390x"
    "^mips64el-        mips64el mips64el")
foreach(row IN LISTS byteneg_architectures)
    string(REGEX MATCHALL "[^ ]+" row "${row}")
    list(GET row 0 pattern)
    if(NOT byteneg_deb_arch AND byteneg_triple MATCHES "${pattern}")
        list(GET row 1 byteneg_deb_arch)
        list(GET row 2 byteneg_rpm_arch)
    endif()
endforeach()
if(NOT byteneg_deb_arch)
    message(WARNING "no package architecture known for \"${byteneg_triple}\"")
endif()
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_BYTENEG_STRIP ${CMAKE_STRIP})
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/packaging/prebuild.cmake)
# rpmbuild lists files installed to a whole path one by one, and the README
# and licence that a package's copyright and changelog replace are then
# missing from the list.
if(IS_ABSOLUTE "${CMAKE_INSTALL_DOCDIR}")
    set(CPACK_BYTENEG_ABSOLUTE_DOCDIR ${CMAKE_INSTALL_DOCDIR})
endif()

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${byteneg_deb_arch})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
if(CMAKE_CROSSCOMPILING)
    # dpkg-shlibdeps finds the C library's version through the installed
    # libc6 of the target architecture, which a cross build does not have:
    # the prebuild script reads it from the binary's symbol versions instead.
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
else()
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
set(CPACK_RPM_PACKAGE_RELEASE 1)
set(CPACK_RPM_PACKAGE_ARCHITECTURE ${byteneg_rpm_arch})
set(CPACK_RPM_PACKAGE_LICENSE MIT)
set(CPACK_RPM_PACKAGE_GROUP "Applications/File")
set(CPACK_RPM_PACKAGE_VENDOR "The byteneg developers")
set(CPACK_RPM_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_RPM_PACKAGE_SUMMARY "Write a copy of a file with every byte negated modulo 256")
# Installed where the distribution puts programs, not moved elsewhere.
set(CPACK_PACKAGE_RELOCATABLE OFF)
set(CPACK_RPM_CHANGELOG_FILE ${PROJECT_SOURCE_DIR}/packaging/rpm-changelog)
set(CPACK_RPM_COMPRESSION_TYPE xz)
# The files are stripped and the man page compressed already; rpmbuild's own
# passes would run the build machine's strip on a cross build's binary.
set(CPACK_RPM_SPEC_INSTALL_POST /bin/true)
# The distribution's filesystem package owns these; listing them would claim them.
set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION
    /usr/share/man /usr/share/man/man1)
# The same bytes from the same commit, wherever and whenever it is built.
set(CPACK_RPM_SPEC_MORE_DEFINE
    "%define packager ${CPACK_PACKAGE_CONTACT}
%define _build_id_links none
%define _buildhost reproducible
%define use_source_date_epoch_as_buildtime 1
%define clamp_mtime_to_source_date_epoch 1")

include(CPack)

# The release: every artefact built twice from two clones and compared, then
# each one installed and run. Minutes long and needing every cross toolchain
# and a clone, so only asked for (BYTENEG_RELEASE_TEST), and its label keeps
# it out of the default test preset.
if(BYTENEG_TESTS AND BYTENEG_RELEASE_TEST AND NOT CMAKE_CROSSCOMPILING)
    add_test(NAME release COMMAND ${PROJECT_SOURCE_DIR}/tests/release_test.sh ${PROJECT_SOURCE_DIR})
    set_tests_properties(release PROPERTIES LABELS release TIMEOUT 1800 SKIP_RETURN_CODE 77)
endif()
