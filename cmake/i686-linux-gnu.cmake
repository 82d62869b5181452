# 32-bit x86 programs, built with g++-i686-linux-gnu; they run on this
# machine as they are.
set(VOXA_CROSS_TRIPLE i686-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
