# Cross-compiling for the arm64 board against a Debian 12 arm64 tree
# (scripts/cross-arm64.sh makes one). CMake reads this file again for every
# try_compile, without the cache, so the tree's path comes from the
# environment: KAVREL_ARM64_SYSROOT.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(KAVREL_ARM64_SYSROOT "$ENV{KAVREL_ARM64_SYSROOT}")
if(NOT KAVREL_ARM64_SYSROOT OR NOT IS_DIRECTORY "${KAVREL_ARM64_SYSROOT}/usr/include")
  message(FATAL_ERROR "KAVREL_ARM64_SYSROOT must name an arm64 Debian tree (got '${KAVREL_ARM64_SYSROOT}')")
endif()
set(CMAKE_SYSROOT "${KAVREL_ARM64_SYSROOT}")
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# Libraries, headers and CMake packages come from the tree only; programs
# (moc, pkg-config, xvfb-run) from the host.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(ENV{PKG_CONFIG_SYSROOT_DIR} "${CMAKE_SYSROOT}")
set(ENV{PKG_CONFIG_LIBDIR}
  "${CMAKE_SYSROOT}/usr/lib/aarch64-linux-gnu/pkgconfig:${CMAKE_SYSROOT}/usr/share/pkgconfig")

# The libraries' own dependencies (libQt5Gui -> libpng, ...) are found in the
# tree, not on the host.
set(kavrel_rpath_link
  "-Wl,-rpath-link,${CMAKE_SYSROOT}/usr/lib/aarch64-linux-gnu -Wl,-rpath-link,${CMAKE_SYSROOT}/lib/aarch64-linux-gnu")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${kavrel_rpath_link}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${kavrel_rpath_link}")

# No binfmt handler here: tests and test discovery run through the emulator.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static -L "${CMAKE_SYSROOT}")

# The tree's Qt code generators are arm64 programs; the host's Qt is the same
# version, so its moc, uic and rcc stand in (see cmake/HostQtTools.cmake).
set(KAVREL_HOST_QT_BINDIR /usr/lib/qt5/bin)
