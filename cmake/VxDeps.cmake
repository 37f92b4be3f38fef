# Dependencies. They are installed by scripts/setup.sh, never kept in the
# repository: zlib and RapidJSON from Debian's packages, minizip from the
# contrib/ folder of Debian's zlib source package, GoogleTest from Debian's
# sources under /usr/src/googletest, the fonts from the npm registry.

set(VX_DEPS_DIR "${CMAKE_SOURCE_DIR}/build/deps" CACHE PATH "Where scripts/setup.sh put the fetched dependencies")
set(VX_FONT_DIR "${VX_DEPS_DIR}/fonts")
set(VX_MINIZIP_DIR "${VX_DEPS_DIR}/zlib-src/contrib/minizip")

# RapidJSON: header-only.
find_path(VX_RAPIDJSON_INCLUDE rapidjson/document.h
          PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
# Expose only rapidjson/ (through a link in the build tree), never the whole
# host include folder, which would shadow the cross compiler's headers.
set(_rj "${CMAKE_BINARY_DIR}/rapidjson-include")
file(MAKE_DIRECTORY "${_rj}")
if(NOT EXISTS "${_rj}/rapidjson")
  file(CREATE_LINK "${VX_RAPIDJSON_INCLUDE}/rapidjson" "${_rj}/rapidjson" SYMBOLIC)
endif()
add_library(vx_rapidjson INTERFACE)
target_include_directories(vx_rapidjson SYSTEM INTERFACE "${_rj}")

if(WIN32)
  # zlib: Debian's mingw-w64 build, linked statically.
  find_library(VX_ZLIB_LIBRARY NAMES libz.a z REQUIRED)
  find_path(VX_ZLIB_INCLUDE zlib.h REQUIRED)
  add_library(vx_zlib INTERFACE)
  target_link_libraries(vx_zlib INTERFACE "${VX_ZLIB_LIBRARY}")
  target_include_directories(vx_zlib SYSTEM INTERFACE "${VX_ZLIB_INCLUDE}")
else()
  # zlib: Debian's zlib1g-dev, for the native tool and the native tests of
  # the zip code.
  find_package(ZLIB REQUIRED)
  add_library(vx_zlib INTERFACE)
  target_link_libraries(vx_zlib INTERFACE ZLIB::ZLIB)
endif()

# minizip: the reader (unzip.c), and the writer (zip.c) for the operator's
# tool, in every build; the Windows build also gets the Win32 file functions.
# The stock unzip.c forces NOUNCRYPT; the build-tree copy drops that line so
# the reader can decipher traditional-encrypted items. The writer never
# encrypts (NOCRYPT), so it needs no random numbers.
if(NOT EXISTS "${VX_MINIZIP_DIR}/unzip.c")
  message(FATAL_ERROR "minizip sources not found in ${VX_MINIZIP_DIR}; run scripts/setup.sh")
endif()
set(_mz "${CMAKE_BINARY_DIR}/minizip")
file(MAKE_DIRECTORY "${_mz}")
file(READ "${VX_MINIZIP_DIR}/unzip.c" _unzip_c)
string(REGEX REPLACE "\n[ \t]*#[ \t]*define[ \t]+NOUNCRYPT[^\n]*" "\n/* NOUNCRYPT removed by the build */" _unzip_c "${_unzip_c}")
if(_unzip_c MATCHES "define[ \t]+NOUNCRYPT")
  message(FATAL_ERROR "could not drop the forced NOUNCRYPT from minizip's unzip.c")
endif()
file(WRITE "${_mz}/unzip.c.new" "${_unzip_c}")
configure_file("${_mz}/unzip.c.new" "${_mz}/unzip.c" COPYONLY)
set(_mz_sources "${_mz}/unzip.c" "${_mz}/ioapi.c" "${_mz}/zip.c")
foreach(_f ioapi.c ioapi.h unzip.h zip.c zip.h crypt.h)
  configure_file("${VX_MINIZIP_DIR}/${_f}" "${_mz}/${_f}" COPYONLY)
endforeach()
if(WIN32)
  foreach(_f iowin32.c iowin32.h)
    configure_file("${VX_MINIZIP_DIR}/${_f}" "${_mz}/${_f}" COPYONLY)
  endforeach()
  list(APPEND _mz_sources "${_mz}/iowin32.c")
endif()
add_library(vx_minizip STATIC ${_mz_sources})
target_include_directories(vx_minizip SYSTEM PUBLIC "${_mz}")
if(WIN32)
  target_compile_definitions(vx_minizip PRIVATE UNICODE _UNICODE)
else()
  # Position-independent, so that it links into any native program.
  set_target_properties(vx_minizip PROPERTIES POSITION_INDEPENDENT_CODE ON)
endif()
set_source_files_properties("${_mz}/zip.c" PROPERTIES COMPILE_DEFINITIONS NOCRYPT)
target_compile_options(vx_minizip PRIVATE -w)
target_link_libraries(vx_minizip PUBLIC vx_zlib)

# GoogleTest from Debian's sources, built with this tree's compiler.
if(EXISTS /usr/src/googletest/CMakeLists.txt)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  # The tests use GoogleTest alone; GoogleMock would only add build time.
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest "${CMAKE_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL)
  if(WIN32)
    # Test support only: not worth the optimiser's time (see VxTesting.cmake).
    target_compile_options(gtest PRIVATE -O0)
    target_compile_options(gtest_main PRIVATE -O0)
  endif()
else()
  message(FATAL_ERROR "GoogleTest sources not found in /usr/src/googletest; run scripts/setup.sh")
endif()

# Google Benchmark (native only), from Debian's libbenchmark-dev.
if(NOT WIN32)
  find_package(benchmark QUIET)
endif()
