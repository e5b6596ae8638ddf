# One GoogleTest executable per test folder, plus one small program per
# helper_*.cpp in it (child processes that some tests launch). Everything lands
# in ${CMAKE_BINARY_DIR}/bin so that tests find their helpers and DLLs beside them.
# Shared helpers for every test (log capture, temporary folders, child
# processes, polling) live in tests/support/; support/process_guards.cpp makes a
# crashed test process fail and ends a hung one with the test's name.
#
#   tv_test_dir(name dir LIBS <libs...> [OWN_PREFIX])
#
# OWN_PREFIX runs each of the folder's tests in a Wine prefix and wineserver of
# its own (wine-run --own-prefix): the machine-wide instance lock, the control
# pipe, the blocks and the services belong to one wineserver, and these tests
# use them under their real names. So they run beside every other test.
include(GoogleTest)

function(tv_test_dir name dir)
  cmake_parse_arguments(T "OWN_PREFIX" "" "LIBS" ${ARGN})
  file(GLOB _all CONFIGURE_DEPENDS ${dir}/*.cpp)
  file(GLOB _helpers CONFIGURE_DEPENDS ${dir}/helper_*.cpp)
  set(_tests ${_all})
  if(_helpers)
    list(REMOVE_ITEM _tests ${_helpers})
  endif()
  foreach(h ${_helpers})
    get_filename_component(_hn ${h} NAME_WE)
    add_executable(${_hn} ${h})
    target_link_libraries(${_hn} PRIVATE ${T_LIBS})
    target_include_directories(${_hn} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
    list(APPEND _helper_targets ${_hn})
  endforeach()
  if(_tests)
    add_executable(${name} ${_tests} ${CMAKE_SOURCE_DIR}/tests/support/process_guards.cpp)
    target_link_libraries(${name} PRIVATE ${T_LIBS} gtest gtest_main)
    target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
    if(_helper_targets)
      add_dependencies(${name} ${_helper_targets})
    endif()
    if(T_OWN_PREFIX)
      set_target_properties(${name} PROPERTIES CROSSCOMPILING_EMULATOR "${CMAKE_BINARY_DIR}/wine-run;--own-prefix")
    endif()
    gtest_discover_tests(${name}
      DISCOVERY_MODE PRE_TEST
      DISCOVERY_TIMEOUT 120
      WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin
      PROPERTIES TIMEOUT 300)
  endif()
endfunction()
