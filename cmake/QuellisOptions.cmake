# One INTERFACE target carries the language level, the warnings and the
# hardening flags; every target of the project links it.
add_library(quellis_options INTERFACE)
target_compile_features(quellis_options INTERFACE cxx_std_20)
target_include_directories(quellis_options INTERFACE ${PROJECT_SOURCE_DIR})
target_compile_options(quellis_options INTERFACE -Wall -Wextra -Wpedantic)
# GCC 12 reports -Wrestrict inside std::string's operator+ at -O2/-O3 where no
# overlap exists (a known false positive of that release).
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    target_compile_options(quellis_options INTERFACE -Wno-restrict)
endif()
if(QUELLIS_WERROR)
    target_compile_options(quellis_options INTERFACE -Werror)
endif()
target_compile_definitions(quellis_options INTERFACE
    QT_NO_CAST_FROM_ASCII
    QT_NO_CONTEXTLESS_CONNECT
    _FILE_OFFSET_BITS=64)
target_compile_options(quellis_options INTERFACE
    $<$<CONFIG:Release>:-D_FORTIFY_SOURCE=3>
    $<$<CONFIG:Release>:-D_GLIBCXX_ASSERTIONS>)
# Relocations read-only and bound at start (full RELRO), as Debian's
# hardening flags give packaged programs.
target_link_options(quellis_options INTERFACE $<$<CONFIG:Release>:LINKER:-z,relro,-z,now>)
target_link_libraries(quellis_options INTERFACE Threads::Threads)

set(QUELLIS_SANITIZE "" CACHE STRING "Sanitizers: address,undefined | thread | empty")
if(QUELLIS_SANITIZE)
    target_compile_options(quellis_options INTERFACE -fsanitize=${QUELLIS_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
    target_link_options(quellis_options INTERFACE -fsanitize=${QUELLIS_SANITIZE})
    # Bounds checks in the standard containers. It also compiles std::string's
    # members into our own instrumented code: the copies in libstdc++.so are
    # not instrumented, and ThreadSanitizer, run with
    # ignore_noninstrumented_modules (scripts/sanitize), would not check them.
    target_compile_definitions(quellis_options INTERFACE _GLIBCXX_ASSERTIONS)
endif()

# Fuzz builds instrument every library for coverage; the fuzzer executables add
# libFuzzer's main (fuzz/CMakeLists.txt).
if(QUELLIS_BUILD_FUZZ)
    target_compile_options(quellis_options INTERFACE -fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
    target_link_options(quellis_options INTERFACE -fsanitize=address,undefined)
endif()
