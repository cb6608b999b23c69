# One INTERFACE target carries the language level, the warnings and the
# hardening flags; every target of the project links it.
add_library(quellis_options INTERFACE)
target_compile_features(quellis_options INTERFACE cxx_std_20)
# Standard C++, not GNU's dialect: what builds here builds with any conforming compiler.
set(CMAKE_CXX_EXTENSIONS OFF)
target_include_directories(quellis_options INTERFACE ${PROJECT_SOURCE_DIR})
target_compile_options(quellis_options INTERFACE -Wall -Wextra -Wpedantic
    -Wold-style-cast -Woverloaded-virtual -Wnon-virtual-dtor -Wcast-qual)
# GCC 12 reports -Wrestrict inside std::string's operator+ at -O2/-O3 where no
# overlap exists (a known false positive of that release).
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    target_compile_options(quellis_options INTERFACE -Wno-restrict)
endif()
if(QUELLIS_WERROR)
    target_compile_options(quellis_options INTERFACE -Werror)
endif()
# Strict Qt: no implicit conversions between QString, QByteArray and char*, no
# narrowing in connect, QStringBuilder for +, and nothing Qt deprecated up to
# the Qt of Debian 12 (6.4 knows the _BEFORE spelling of that switch).
target_compile_definitions(quellis_options INTERFACE
    QT_NO_CAST_FROM_ASCII
    QT_NO_CAST_TO_ASCII
    QT_NO_CAST_FROM_BYTEARRAY
    QT_NO_NARROWING_CONVERSIONS_IN_CONNECT
    QT_USE_QSTRINGBUILDER
    QT_DISABLE_DEPRECATED_BEFORE=0x060400
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
