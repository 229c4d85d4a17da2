# Shared part of the Debian cross toolchain files. The including file sets
#   CAMKIT_CROSS_TRIPLET    GNU triplet of the cross compilers (i686-linux-gnu)
#   CAMKIT_CROSS_MULTIARCH  Debian multiarch directory of target libraries (i386-linux-gnu)
#   CAMKIT_CROSS_PROCESSOR  CMAKE_SYSTEM_PROCESSOR
#   CAMKIT_CROSS_EMULATOR   qemu-user command line that runs target programs
#
# Debian's cross compilers already search the multiarch tree (/usr/include/<multiarch>,
# /usr/lib/<multiarch>) after their own C library, so `apt-get install libfoo-dev:<arch>`
# is all a target library needs.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${CAMKIT_CROSS_PROCESSOR})

set(CMAKE_C_COMPILER ${CAMKIT_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${CAMKIT_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${CAMKIT_CROSS_MULTIARCH})

# Libraries and packages come from the cross tree or the target's multiarch
# directories only, never from the build machine's; programs from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${CAMKIT_CROSS_TRIPLET} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${CAMKIT_CROSS_MULTIARCH}/pkgconfig:/usr/share/pkgconfig)

set(CMAKE_CROSSCOMPILING_EMULATOR ${CAMKIT_CROSS_EMULATOR})
