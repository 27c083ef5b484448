# How the 32-bit x86 build's tests run on this host. Most x86-64 kernels run
# 32-bit programs directly, but a kernel built without that support refuses
# them ("Exec format error"), as some distributions and container hosts do.
# So the host is asked, by building and running a tiny -m32 program:
#   native  the whole suite built -m32 and run directly, strace's fault
#           injection and the large file included;
#   qemu    the unit tests under qemu-i386, and the end-to-end, stream, fault
#           and large-file tables from the host harness against the 32-bit
#           binary, as for arm64.
# Sets BYTENEG_HOST_TESTS, and CMAKE_CROSSCOMPILING_EMULATOR under qemu.
set(BYTENEG_I386_RUN auto CACHE STRING
    "How the 32-bit x86 tests run: auto (natively where the host can), native or qemu")
set_property(CACHE BYTENEG_I386_RUN PROPERTY STRINGS auto native qemu)

set(probe ${CMAKE_CURRENT_BINARY_DIR}/i386-probe)
try_compile(probe_built SOURCE_FROM_CONTENT probe.cpp
            "#include <cstdio>\nint main() { std::puts(sizeof(void *) == 4 ? \"i386\" : \"?\"); }\n"
            NO_CACHE COPY_FILE ${probe} OUTPUT_VARIABLE probe_log)
if(NOT probe_built)
    message(FATAL_ERROR "cannot build a 32-bit x86 program (install g++-12-multilib):\n${probe_log}")
endif()
# Runs the probe with these words before it; sets <var> to "ok" or to why not.
# A kernel that refuses the program makes most launchers hand it to sh, which
# fails on the binary with a syntax error, so only the expected output counts;
# bash, when there is one, starts it instead and gives the kernel's reason.
function(run_probe var)
    execute_process(COMMAND ${ARGN} ${probe} RESULT_VARIABLE result OUTPUT_VARIABLE out
                    ERROR_VARIABLE err OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(result STREQUAL "0" AND out STREQUAL "i386")
        set(${var} ok PARENT_SCOPE)
    else()
        string(STRIP "status ${result}: ${out}${err}" why)
        string(REGEX REPLACE "\n.*" "" why "${why}")
        string(REPLACE "${probe}: line 1: ${probe}: " "" why "${why}")
        set(${var} "${why}" PARENT_SCOPE)
    endif()
endfunction()
find_program(BASH bash)
if(BASH)
    run_probe(native_result ${BASH} -c "exec \"$0\"")
else()
    run_probe(native_result)
endif()
find_program(QEMU_I386 qemu-i386)
set(qemu_result "qemu-i386 not found (qemu-user)")
if(QEMU_I386)
    run_probe(qemu_result ${QEMU_I386})
endif()

if(BYTENEG_I386_RUN STREQUAL "native" OR
   (BYTENEG_I386_RUN STREQUAL "auto" AND native_result STREQUAL "ok"))
    if(native_result STREQUAL "ok")
        set(why "this host runs 32-bit x86 programs")
    else()
        message(WARNING "this host cannot run 32-bit x86 programs (${native_result}): "
                        "the tests will fail; BYTENEG_I386_RUN=auto would run them under qemu-i386")
        set(why "BYTENEG_I386_RUN=native")
    endif()
    set(BYTENEG_HOST_TESTS ON)
    message(STATUS "i386 tests: native, as ${why}")
elseif(qemu_result STREQUAL "ok")
    if(BYTENEG_I386_RUN STREQUAL "qemu")
        set(why "BYTENEG_I386_RUN=qemu")
    else()
        set(why "this host cannot run 32-bit x86 programs (a -m32 program gave ${native_result})")
    endif()
    set(BYTENEG_HOST_TESTS OFF)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${QEMU_I386})
    message(STATUS "i386 tests: under qemu-i386, as ${why}")
else()
    message(FATAL_ERROR "the 32-bit x86 tests cannot run here: the host says "
                        "\"${native_result}\", qemu-i386 \"${qemu_result}\"")
endif()
