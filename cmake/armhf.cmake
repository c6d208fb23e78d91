# Cross build for the appliance: 32-bit ARM, hard float (armhf).
#
# The libraries come from Debian's armhf packages unpacked into a sysroot
# (scripts/test-armhf prepares it); the compiler brings its own C library
# headers. Tests run under user-mode emulation with the sysroot as the
# dynamic loader's prefix.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

if(NOT MIF_ARMHF_SYSROOT)
  set(MIF_ARMHF_SYSROOT "$ENV{MIF_ARMHF_SYSROOT}")
endif()
if(NOT MIF_ARMHF_SYSROOT)
  message(FATAL_ERROR "Set MIF_ARMHF_SYSROOT to the armhf sysroot (scripts/test-armhf prepares one)")
endif()
# try_compile projects see the same sysroot.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES MIF_ARMHF_SYSROOT)

set(CMAKE_FIND_ROOT_PATH ${MIF_ARMHF_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config reads the sysroot's .pc files and prefixes their paths with it.
set(ENV{PKG_CONFIG_DIR} "")
set(ENV{PKG_CONFIG_LIBDIR}
    "${MIF_ARMHF_SYSROOT}/usr/lib/arm-linux-gnueabihf/pkgconfig:${MIF_ARMHF_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${MIF_ARMHF_SYSROOT}")

# The libraries' own dependencies are resolved in the sysroot at link time.
set(MIF_ARMHF_LIBDIRS "${MIF_ARMHF_SYSROOT}/usr/lib/arm-linux-gnueabihf;${MIF_ARMHF_SYSROOT}/lib/arm-linux-gnueabihf")
foreach(dir IN LISTS MIF_ARMHF_LIBDIRS)
  string(APPEND CMAKE_EXE_LINKER_FLAGS_INIT " -Wl,-rpath-link,${dir}")
  string(APPEND CMAKE_SHARED_LINKER_FLAGS_INIT " -Wl,-rpath-link,${dir}")
endforeach()

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm-static -L ${MIF_ARMHF_SYSROOT})
