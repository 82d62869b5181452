# Linux programs for another processor, built on Debian with its cross
# compiler (g++-<triple>); included by the toolchain file of each processor,
# which names the triple and the processor first. The programs are linked
# statically, so that they run on this machine under qemu-user (or on the
# processor itself) without that processor's libraries installed.
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_CXX_COMPILER ${VOXA_CROSS_TRIPLE}-g++)
set(CMAKE_C_COMPILER ${VOXA_CROSS_TRIPLE}-gcc)

# Headers and libraries only from the target's own tree, tools from here.
set(CMAKE_FIND_ROOT_PATH /usr/${VOXA_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
