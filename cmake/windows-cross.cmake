# What a Windows build cross-compiled on Debian needs beyond the toolchain file: the test
# programs run through Wine in a prefix of this build tree, CLI11 comes from Debian's headers
# without the rest of /usr/include, GoogleTest is built from Debian's sources.
set(TRUNVEX_WINEPREFIX ${CMAKE_BINARY_DIR}/wine-prefix CACHE PATH
    "Wine prefix the test programs run in (created on first use)")
set(CMAKE_CROSSCOMPILING_EMULATOR ${PROJECT_SOURCE_DIR}/tools/wine-run.sh ${TRUNVEX_WINEPREFIX})
# Created here, once (about 20 s): ctest lists the tests of every program when it starts, with
# a few seconds for each, and the first start in a new prefix takes longer than that.
if(TRUNVEX_BUILD_TESTS AND NOT EXISTS ${TRUNVEX_WINEPREFIX}/system.reg)
  message(STATUS "Creating the Wine prefix for the tests: ${TRUNVEX_WINEPREFIX}")
  execute_process(COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} cmd /c exit
                  RESULT_VARIABLE wine_result OUTPUT_QUIET ERROR_QUIET)
  if(NOT wine_result EQUAL 0)
    message(WARNING "Wine did not start (${wine_result}): the tests cannot run")
  endif()
endif()

# Debian's package configs for the header-only CLI11 and nlohmann-json add /usr/include to the
# include path, which would put glibc headers ahead of MinGW's: a folder that holds only the
# library's headers stands in for it.
function(trunvex_header_only_library target header_folder)
  if(TARGET ${target} OR NOT EXISTS /usr/include/${header_folder})
    return()
  endif()
  set(root ${CMAKE_BINARY_DIR}/header-only/${header_folder})
  file(MAKE_DIRECTORY ${root})
  if(NOT EXISTS ${root}/${header_folder})
    file(CREATE_LINK /usr/include/${header_folder} ${root}/${header_folder} SYMBOLIC)
  endif()
  add_library(${target} INTERFACE IMPORTED GLOBAL)
  set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${root}
                                             INTERFACE_SYSTEM_INCLUDE_DIRECTORIES ${root})
endfunction()
trunvex_header_only_library(CLI11::CLI11 CLI)
trunvex_header_only_library(nlohmann_json::nlohmann_json nlohmann)

if(TRUNVEX_BUILD_TESTS AND NOT TARGET GTest::gtest_main AND EXISTS /usr/src/googletest)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  foreach(lib gtest gtest_main)
    if(NOT TARGET GTest::${lib})
      add_library(GTest::${lib} ALIAS ${lib})
    endif()
  endforeach()
  set(GTest_FOUND TRUE)
endif()

# Test programs are listed when ctest starts, not at build time: the build would otherwise
# start Wine for each of them, in parallel, before the prefix exists.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)

# MinGW's own printf, as C99 has it (%zu, %llu), not the older one of the system's C library:
# messages come out as on Linux.
add_compile_definitions(__USE_MINGW_ANSI_STDIO=1)
