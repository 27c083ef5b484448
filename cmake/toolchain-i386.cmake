# 32-bit x86 Linux, built with the host's g++ -m32 (g++-12-multilib). Most
# x86-64 kernels run the result directly; cmake/i386-run.cmake finds out, and
# falls back to qemu-i386 where they cannot.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc) # GoogleTest builds C too
set(CMAKE_CXX_COMPILER g++)
# The kernel's x86 headers serve both widths, but only gcc-multilib links
# them where -m32 looks (/usr/include/asm), and gcc-multilib cannot be
# installed beside the ARM cross compiler. Searched last, they fill that gap
# and shadow nothing.
set(CMAKE_C_FLAGS_INIT "-m32 -idirafter /usr/include/x86_64-linux-gnu")
set(CMAKE_CXX_FLAGS_INIT "-m32 -idirafter /usr/include/x86_64-linux-gnu")
set(CMAKE_EXE_LINKER_FLAGS_INIT -m32)
