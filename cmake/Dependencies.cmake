# Third-party code, fetched into the build tree at configure time.
set(DEPS_DIR ${CMAKE_BINARY_DIR}/_deps)
execute_process(COMMAND ${CMAKE_SOURCE_DIR}/scripts/fetch-deps ${DEPS_DIR}
                RESULT_VARIABLE _fetch_rc)
if(NOT _fetch_rc EQUAL 0)
  message(FATAL_ERROR "fetching third-party sources failed (${_fetch_rc})")
endif()

set(TINYXML_DIR ${DEPS_DIR}/tinyxml-src)
add_library(tinyxml STATIC
  ${TINYXML_DIR}/tinyxml.cpp ${TINYXML_DIR}/tinystr.cpp
  ${TINYXML_DIR}/tinyxmlerror.cpp ${TINYXML_DIR}/tinyxmlparser.cpp)
target_compile_definitions(tinyxml PUBLIC TIXML_USE_STL)
target_include_directories(tinyxml SYSTEM PUBLIC ${TINYXML_DIR})
target_compile_options(tinyxml PRIVATE -w)

set(ICONV_DIR ${DEPS_DIR}/iconv-src)
add_library(libiconv STATIC
  ${ICONV_DIR}/deps/libiconv/lib/iconv.c ${ICONV_DIR}/support/localcharset.c)
target_compile_definitions(libiconv PRIVATE ICONV_CONST=const ENABLE_EXTRA=1)
target_include_directories(libiconv SYSTEM PUBLIC ${ICONV_DIR}/support ${ICONV_DIR}/deps/libiconv/lib)
target_compile_options(libiconv PRIVATE -w)

set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/_googletest EXCLUDE_FROM_ALL)

# libfec's general Reed-Solomon codec: the comparator of the codec
# cross-checks and of bench_rs, linked into those two programs only. Its own
# headers stay private (fec.h is not C++-clean); tests/support/libfec_rs.h
# declares the four functions.
set(LIBFEC_DIR ${DEPS_DIR}/libfec-src)
add_library(libfec_rs STATIC
  ${LIBFEC_DIR}/init_rs_char.c ${LIBFEC_DIR}/encode_rs_char.c ${LIBFEC_DIR}/decode_rs_char.c)
target_include_directories(libfec_rs PRIVATE ${LIBFEC_DIR})
target_include_directories(libfec_rs INTERFACE ${CMAKE_SOURCE_DIR}/tests)
target_compile_options(libfec_rs PRIVATE -w)
