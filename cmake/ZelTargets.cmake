# One library per subsystem; every unit's .cpp in the folder belongs to it.
function(zel_subsystem name)
  file(GLOB _src CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(_src)
    add_library(${name} STATIC ${_src})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} PUBLIC ${ARGN})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE ${ARGN})
  endif()
endfunction()

# One test program per unit test file: tests/<subsystem>/<unit>_test.cpp.
# Files listed in ZEL_TSAN_TESTS also carry a label ending in "_tsan".
function(zel_unit_tests subsystem)
  find_package(GTest REQUIRED)
  include(GoogleTest)
  file(GLOB _tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  foreach(_t ${_tests})
    get_filename_component(_n ${_t} NAME_WE)
    add_executable(${_n} ${_t})
    target_link_libraries(${_n} PRIVATE ${subsystem} GTest::gtest GTest::gtest_main Threads::Threads)
    # One label only (gtest_discover_tests flattens a list): "ctest -L" matches it as a
    # regular expression, so "net_tsan" is selected by both -L net and -L tsan.
    set(_labels ${subsystem})
    if(_n IN_LIST ZEL_TSAN_TESTS)
      set(_labels ${subsystem}_tsan)
    endif()
    gtest_discover_tests(${_n} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 30
                         PROPERTIES LABELS "${_labels}" TIMEOUT 120)
  endforeach()
endfunction()
