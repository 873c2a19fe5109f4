# Builds with clang 14 and LLVM's libc++ 14, the standard library of macOS,
# instead of GCC and libstdc++: what one library has and the other lacks
# shows here. GoogleTest must be built the same way (scripts/test-target
# builds it from Debian's /usr/src/googletest).
set(CMAKE_C_COMPILER clang-14)
set(CMAKE_CXX_COMPILER clang++-14)
set(CMAKE_CXX_FLAGS_INIT -stdlib=libc++)
set(CMAKE_EXE_LINKER_FLAGS_INIT -stdlib=libc++)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -stdlib=libc++)
set(CMAKE_MODULE_LINKER_FLAGS_INIT -stdlib=libc++)
