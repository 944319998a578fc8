# Cross-compiling the Mac build from Linux (scripts/check-macos): one architecture per
# build tree, clang 15 or later, ld64.lld, and the SDK's own libc++ headers rather than
# whatever libc++ the machine has, so that only what Apple's toolchain offers compiles.
#
#   -DVELTRINO_MAC_ARCH=arm64|x86_64  -DVELTRINO_MAC_SDK=<MacOSX.sdk>  [-DVELTRINO_MAC_CLANG=<clang++>]
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_VERSION 20.0)  # macOS 11
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VELTRINO_MAC_ARCH VELTRINO_MAC_SDK VELTRINO_MAC_CLANG)

if(NOT VELTRINO_MAC_ARCH OR NOT VELTRINO_MAC_SDK)
  message(FATAL_ERROR "macos-cross.cmake needs VELTRINO_MAC_ARCH and VELTRINO_MAC_SDK")
endif()
if(NOT VELTRINO_MAC_CLANG)
  set(VELTRINO_MAC_CLANG clang++-19)
endif()
find_program(VELTRINO_MAC_CLANG_PATH NAMES ${VELTRINO_MAC_CLANG} REQUIRED)
get_filename_component(_veltrino_llvm_bin ${VELTRINO_MAC_CLANG_PATH} DIRECTORY)

set(CMAKE_SYSTEM_PROCESSOR ${VELTRINO_MAC_ARCH})
set(CMAKE_OSX_ARCHITECTURES ${VELTRINO_MAC_ARCH} CACHE STRING "" FORCE)
set(CMAKE_OSX_DEPLOYMENT_TARGET 11.0 CACHE STRING "" FORCE)
set(CMAKE_OSX_SYSROOT ${VELTRINO_MAC_SDK} CACHE PATH "" FORCE)

foreach(lang C CXX OBJCXX)
  set(CMAKE_${lang}_COMPILER ${VELTRINO_MAC_CLANG_PATH})
  set(CMAKE_${lang}_COMPILER_TARGET ${VELTRINO_MAC_ARCH}-apple-macos11)
endforeach()
set(CMAKE_CXX_FLAGS_INIT "-nostdinc++ -isystem ${VELTRINO_MAC_SDK}/usr/include/c++/v1")
set(CMAKE_OBJCXX_FLAGS_INIT "${CMAKE_CXX_FLAGS_INIT}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld")

# The archive tools of the same LLVM, whichever suffix Debian gives them.
find_program(CMAKE_AR NAMES llvm-ar-19 llvm-ar HINTS ${_veltrino_llvm_bin} REQUIRED)
find_program(CMAKE_RANLIB NAMES llvm-ranlib-19 llvm-ranlib HINTS ${_veltrino_llvm_bin} REQUIRED)

find_program(CMAKE_INSTALL_NAME_TOOL NAMES llvm-install-name-tool-19 llvm-install-name-tool HINTS ${_veltrino_llvm_bin}
  REQUIRED)
