# Cross toolchain: arm64 macOS 15 from a Linux machine, with this machine's clang compiling
# against a macOS SDK folder (include/, include/c++/v1, Frameworks/: the layout of the public
# hexops/xcode-frameworks repository).
#   -DZELK_MACOS_SDK=DIR      the SDK folder (required)
#   -DZELK_MACOS_LIBROOT=DIR  a library root for the links, as scripts/cross-macos makes it:
#                             DIR/usr/lib holds the libSystem and libobjc stubs (.tbd) and
#                             static libc++, libc++abi and compiler-rt archives. Links run LLVM's
#                             Mach-O linker (ld64.lld) through clang. Without it the build only
#                             compiles, which is what scripts/check-darwin needs.
# Header-only stand-ins for the Homebrew packages (GoogleTest, Google Benchmark, nlohmann-json,
# prometheus-cpp) come from packages/ next to this file; they expose this machine's headers of
# those projects and nothing else of /usr/include. They serve compiling only: a target that
# links one of the compiled ones cannot be linked for macOS here.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR arm64)
set(CMAKE_SYSTEM_VERSION 24.0)

set(ZELK_MACOS_SDK "${ZELK_MACOS_SDK}" CACHE PATH "macOS SDK folder (include/, Frameworks/)")
set(ZELK_MACOS_LIBROOT "${ZELK_MACOS_LIBROOT}" CACHE PATH "library root with usr/lib stubs and C++ runtime archives (optional)")
if(NOT IS_DIRECTORY "${ZELK_MACOS_SDK}/include/c++/v1" OR NOT IS_DIRECTORY "${ZELK_MACOS_SDK}/Frameworks")
  message(FATAL_ERROR "ZELK_MACOS_SDK must name a macOS SDK folder with include/c++/v1 and Frameworks/")
endif()
# try_compile projects see the same settings.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZELK_MACOS_SDK ZELK_MACOS_LIBROOT)

set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET arm64-apple-macos15.0)
set(CMAKE_CXX_COMPILER_TARGET arm64-apple-macos15.0)
# The SDK has no usr/ prefix, so no -isysroot: the SDK's headers replace this machine's.
set(CMAKE_OSX_SYSROOT "" CACHE PATH "" FORCE)
set(CMAKE_OSX_ARCHITECTURES "" CACHE STRING "" FORCE)
execute_process(COMMAND ${CMAKE_C_COMPILER} -print-resource-dir
  OUTPUT_VARIABLE _zelk_resource OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
set(_zelk_sdk_flags "-nostdinc -isystem ${_zelk_resource}/include -isystem ${ZELK_MACOS_SDK}/include -iframework ${ZELK_MACOS_SDK}/Frameworks -Wno-elaborated-enum-base")
set(CMAKE_C_FLAGS_INIT "${_zelk_sdk_flags}")
set(CMAKE_CXX_FLAGS_INIT "-nostdinc++ -isystem ${ZELK_MACOS_SDK}/include/c++/v1 ${_zelk_sdk_flags}")

# Nothing of this machine's libraries or packages: only the stand-ins.
set(CMAKE_FIND_ROOT_PATH "${CMAKE_CURRENT_LIST_DIR}/packages")
set(CMAKE_PREFIX_PATH "/")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Configure-time checks compile only; linking needs the Mach-O linker.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

if(ZELK_MACOS_LIBROOT)
  set(_zelk_link_flags "-Wno-unused-command-line-argument -fuse-ld=lld -nostdlib++ -Wl,-syslibroot,${ZELK_MACOS_LIBROOT} -F ${ZELK_MACOS_SDK}/Frameworks")
  set(CMAKE_EXE_LINKER_FLAGS_INIT "${_zelk_link_flags}")
  set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_zelk_link_flags}")
  set(CMAKE_C_STANDARD_LIBRARIES "-lc++ -lc++abi -lcompiler_rt")
  set(CMAKE_CXX_STANDARD_LIBRARIES "-lc++ -lc++abi -lcompiler_rt")
  # CMake's Darwin files ask the running Mac's version (sw_vers) whether it has run paths; a
  # macOS 15 target has them, so libraries get @rpath install names as on a Mac.
  set(CMAKE_USER_MAKE_RULES_OVERRIDE "${CMAKE_CURRENT_LIST_DIR}/run-paths.cmake")
endif()
