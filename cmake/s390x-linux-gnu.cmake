# Cross build for s390x Linux, a big-endian machine, with Debian's
# g++-s390x-linux-gnu:
#   cmake -S . -B build/s390x --toolchain cmake/s390x-linux-gnu.cmake
set(CMAKE_SYSTEM_PROCESSOR s390x)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux-gnu.cmake)
