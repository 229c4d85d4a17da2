# 32-bit ARM Linux (hard-float) with Debian's g++-arm-linux-gnueabihf; target
# programs run under qemu-arm.
#   dpkg --add-architecture armhf
#   apt-get install g++-arm-linux-gnueabihf qemu-user libstdc++6:armhf \
#       libudev-dev:armhf libjpeg62-turbo-dev:armhf libmicrohttpd-dev:armhf
# (never gcc-multilib: it removes the cross compilers).
set(CAMKIT_CROSS_TRIPLET arm-linux-gnueabihf)
set(CAMKIT_CROSS_MULTIARCH arm-linux-gnueabihf)
set(CAMKIT_CROSS_PROCESSOR arm)
# Plain qemu-arm: the programs load the :armhf C library and runtimes from the
# multiarch directories like on the board. With -L /usr/arm-linux-gnueabihf the
# cross tree's C library would mix with the :armhf one that libudev and libjpeg
# pull in, which breaks threads and leaves udev finding nothing.
set(CAMKIT_CROSS_EMULATOR qemu-arm)
# GCC notes on every std::vector iterator that the ARM calling convention
# changed in GCC 7.1; everything here is built with the same compiler.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)
include(${CMAKE_CURRENT_LIST_DIR}/cross-debian.cmake)
