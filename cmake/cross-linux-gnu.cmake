# What the cross builds share: the toolchain file that includes this sets
# CMAKE_SYSTEM_PROCESSOR to the target, whose Debian cross compiler is
# <target>-linux-gnu-g++. The tests run under qemu-user, named here as the
# emulator, so no binfmt is needed.
set(CMAKE_SYSTEM_NAME Linux)
set(triple ${CMAKE_SYSTEM_PROCESSOR}-linux-gnu)
set(CMAKE_C_COMPILER ${triple}-gcc)
set(CMAKE_CXX_COMPILER ${triple}-g++)

# The target's C and C++ libraries, where the cross compiler's packages put them.
set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${CMAKE_SYSTEM_PROCESSOR} -L /usr/${triple})
