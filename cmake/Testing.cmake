if(CONDUIT_BUILD_TESTS)
  enable_testing()
  find_package(GTest REQUIRED)
  include(GoogleTest)
endif()

# conduit_add_test(name SOURCES ... LIBS ...): one test executable per folder, each test
# case registered with CTest on its own so that ctest can run them in parallel.
function(conduit_add_test name)
  if(NOT CONDUIT_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  conduit_warnings(${name})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gmock GTest::gtest_main Threads::Threads)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)
endfunction()

# conduit_add_folder_tests(name [GLOBS pattern...] [LIBS ...] [INCLUDES dir...]): the
# folder's test sources (*_test.cpp unless GLOBS says otherwise), when there are any, as one
# test executable.
function(conduit_add_folder_tests name)
  cmake_parse_arguments(ARG "" "" "GLOBS;LIBS;INCLUDES" ${ARGN})
  if(NOT ARG_GLOBS)
    set(ARG_GLOBS *_test.cpp)
  endif()
  file(GLOB sources CONFIGURE_DEPENDS ${ARG_GLOBS})
  if(NOT sources)
    return()
  endif()
  conduit_add_test(${name} SOURCES ${sources} LIBS ${ARG_LIBS})
  if(TARGET ${name} AND ARG_INCLUDES)
    target_include_directories(${name} PRIVATE ${ARG_INCLUDES})
  endif()
endfunction()
