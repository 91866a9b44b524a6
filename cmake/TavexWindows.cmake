# The Windows build's view of the host's header-only libraries and of
# GoogleTest, included by the top-level CMakeLists.txt when WIN32.
#
# Asio, CLI11 and nlohmann/json live in the host's /usr/include beside glibc's
# headers, so each gets a folder of symlinks of its own; the packages' config
# files would add /usr/include itself, so small stand-ins take their place.
# GoogleTest is built from the source that libgtest-dev ships.

set(TAVEX_WIN_INCLUDE ${CMAKE_BINARY_DIR}/host-headers/include)
file(MAKE_DIRECTORY ${TAVEX_WIN_INCLUDE})
foreach(entry asio asio.hpp CLI nlohmann)
  if(NOT EXISTS /usr/include/${entry})
    message(FATAL_ERROR "/usr/include/${entry} is missing (scripts/build-windows installs it)")
  endif()
  file(CREATE_LINK /usr/include/${entry} ${TAVEX_WIN_INCLUDE}/${entry} SYMBOLIC)
endforeach()

# find_path(... asio.hpp) in comm/ and tests/ take these.
set(ASIO_INCLUDE_DIR ${TAVEX_WIN_INCLUDE} CACHE PATH "Asio headers" FORCE)
set(TEST_ASIO_INCLUDE_DIR ${TAVEX_WIN_INCLUDE} CACHE PATH "Asio headers" FORCE)

# Stand-in package configs: the targets, over the symlink folder only.
set(_tavex_pkgs ${CMAKE_BINARY_DIR}/host-headers/cmake)
function(_tavex_header_package name target version)
  set(dir ${_tavex_pkgs}/${name})
  file(WRITE ${dir}/${name}Config.cmake
    "if(NOT TARGET ${target})\n"
    "  add_library(${target} INTERFACE IMPORTED)\n"
    "  set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES \"${TAVEX_WIN_INCLUDE}\")\n"
    "endif()\n")
  file(WRITE ${dir}/${name}ConfigVersion.cmake
    "set(PACKAGE_VERSION \"${version}\")\n"
    "if(PACKAGE_FIND_VERSION VERSION_GREATER PACKAGE_VERSION)\n"
    "  set(PACKAGE_VERSION_COMPATIBLE FALSE)\n"
    "else()\n"
    "  set(PACKAGE_VERSION_COMPATIBLE TRUE)\n"
    "endif()\n")
  set(${name}_DIR ${dir} CACHE PATH "" FORCE)
endfunction()
_tavex_header_package(nlohmann_json nlohmann_json::nlohmann_json 3.11.2)
_tavex_header_package(CLI11 CLI11::CLI11 2.3.2)

# GoogleTest for the test executables: gtest and gtest_main, built by the
# cross compiler; find_package(GTest) then finds this stand-in.
if(TAVEX_BUILD_TESTS)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  file(WRITE ${_tavex_pkgs}/GTest/GTestConfig.cmake
    "if(NOT TARGET GTest::gtest)\n"
    "  add_library(GTest::gtest ALIAS gtest)\n"
    "  add_library(GTest::gtest_main ALIAS gtest_main)\n"
    "endif()\n")
  set(GTest_DIR ${_tavex_pkgs}/GTest CACHE PATH "" FORCE)
endif()

# localtime_r and gmtime_r, as MinGW-w64's <time.h> offers them.
add_compile_definitions(_POSIX_THREAD_SAFE_FUNCTIONS)
# Windows 7 and later: inet_pton, GetAdaptersInfo's fields.
add_compile_definitions(_WIN32_WINNT=0x0601 WIN32_LEAN_AND_MEAN NOMINMAX)

# Asio, CLI11 and nlohmann/json for every target (the host's /usr/include is
# never on the path).
include_directories(SYSTEM ${TAVEX_WIN_INCLUDE})
