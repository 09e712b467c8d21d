# Cross-compiles the macOS build from Linux with LLVM (clang and ld64.lld), to check that every
# macOS backend compiles and links without a Mac. Nothing built this way can run here.
#
#   cmake -S . -B build-macos -G Ninja --toolchain cmake/macos-cross.cmake \
#         -DMACOS_SDK=/path/to/MacOSX.sdk [-DMACOS_ARCH=x86_64] [-DLLVM_SUFFIX=-19]
#
# MACOS_SDK is a macOS SDK (headers and .tbd stubs); for the tests, GoogleTest built for the
# same target must be findable (CMAKE_PREFIX_PATH).
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_VERSION 22.0)  # macOS 13

set(MACOS_SDK "$ENV{MACOS_SDK}" CACHE PATH "macOS SDK to compile and link against")
set(MACOS_ARCH arm64 CACHE STRING "arm64 or x86_64")
set(LLVM_SUFFIX "-19" CACHE STRING "Suffix of the LLVM tool names (clang++-19, ld64.lld-19)")
if(NOT IS_DIRECTORY "${MACOS_SDK}")
  message(FATAL_ERROR "Set MACOS_SDK to a macOS SDK directory")
endif()
# try_compile projects see these too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES MACOS_SDK MACOS_ARCH LLVM_SUFFIX MACOS_LINK_EXTRA)

set(CMAKE_SYSTEM_PROCESSOR ${MACOS_ARCH})
set(CMAKE_OSX_ARCHITECTURES ${MACOS_ARCH})
set(CMAKE_OSX_SYSROOT ${MACOS_SDK})
set(CMAKE_OSX_DEPLOYMENT_TARGET 13.0 CACHE STRING "Oldest macOS the build runs on")

set(triple ${MACOS_ARCH}-apple-macos13)
foreach(lang C CXX OBJC OBJCXX)
  set(CMAKE_${lang}_COMPILER_TARGET ${triple})
endforeach()
find_program(MACOS_CLANG clang${LLVM_SUFFIX} REQUIRED NO_CMAKE_FIND_ROOT_PATH)
find_program(MACOS_CLANGXX clang++${LLVM_SUFFIX} REQUIRED NO_CMAKE_FIND_ROOT_PATH)
set(CMAKE_C_COMPILER ${MACOS_CLANG})
set(CMAKE_CXX_COMPILER ${MACOS_CLANGXX})
set(CMAKE_OBJC_COMPILER ${MACOS_CLANG})
set(CMAKE_OBJCXX_COMPILER ${MACOS_CLANGXX})
set(CMAKE_AR llvm-ar${LLVM_SUFFIX})
set(CMAKE_RANLIB llvm-ranlib${LLVM_SUFFIX})
set(CMAKE_INSTALL_NAME_TOOL llvm-install-name-tool${LLVM_SUFFIX})
# Objects a non-Apple clang needs to complete a link, such as a stand-in for compiler-rt's
# Darwin runtime (___isPlatformVersionAtLeast, which `@available` calls) when the compiler has no
# libclang_rt.osx.a.
set(MACOS_LINK_EXTRA "" CACHE STRING "Extra objects for every link")
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "-fuse-ld=lld --ld-path=ld64.lld${LLVM_SUFFIX} ${MACOS_LINK_EXTRA}")
endforeach()

# Libraries and packages come from the SDK and the given prefixes; programs from this machine.
set(CMAKE_FIND_ROOT_PATH ${MACOS_SDK})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# Test programs cannot run here: list their tests when CTest runs, not after linking.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
