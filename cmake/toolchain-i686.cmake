# 32-bit x86 Linux with Debian's g++-i686-linux-gnu; target programs run under
# qemu-i386 (this machine's kernel may not run 32-bit binaries itself).
#   apt-get install g++-i686-linux-gnu qemu-user libjpeg62-turbo-dev:i386
# (never gcc-multilib: it removes the cross compilers).
set(CAMKIT_CROSS_TRIPLET i686-linux-gnu)
set(CAMKIT_CROSS_MULTIARCH i386-linux-gnu)
set(CAMKIT_CROSS_PROCESSOR i686)
# The cross C and C++ runtimes first, then the multiarch libraries (libjpeg:i386).
set(CAMKIT_CROSS_EMULATOR qemu-i386 -L /usr/i686-linux-gnu
    -E LD_LIBRARY_PATH=/usr/i686-linux-gnu/lib:/usr/lib/i386-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/cross-debian.cmake)
