# Cross-compiling for 32-bit ARM Linux, hard-float (Debian's armhf), from an
# x86_64 Debian root that has the armhf architecture added, the cross
# compiler g++-arm-linux-gnueabihf and the target's libraries installed
# (tools/provision cross-armhf). What it builds runs in the armhf root under
# qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

# The tests cannot run where they are built: list them when ctest runs, in
# the armhf root.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
