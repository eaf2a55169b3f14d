# The checking builds compile a folder's sources in batches (unity build).
# Files whose file-local helpers share a name with a neighbour's are listed in
# the folder as PX_UNITY_SKIP and compiled alone.
macro(px_unity_skip)
  if(PX_UNITY_SKIP)
    set_source_files_properties(${PX_UNITY_SKIP} PROPERTIES SKIP_UNITY_BUILD_INCLUSION ON)
  endif()
endmacro()

# px_module(NAME DEPS...): a static library from every .cpp of the folder.
function(px_module name)
  file(GLOB _srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(NOT _srcs)
    # A module whose sources have not landed yet still links.
    set(_empty ${CMAKE_CURRENT_BINARY_DIR}/${name}_empty.cpp)
    file(WRITE ${_empty} "// no sources yet\n")
    set(_srcs ${_empty})
  endif()
  px_unity_skip()
  add_library(${name} STATIC ${_srcs})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${ARGN})
endfunction()

# px_test(NAME DEPS... [LABELS label...]): one gtest program from every .cpp
# of the folder. The label "threads" marks the programs that the
# ThreadSanitizer run of the test script executes.
function(px_test name)
  cmake_parse_arguments(PT "" "" "LABELS" ${ARGN})
  file(GLOB _srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(NOT _srcs)
    return()
  endif()
  px_unity_skip()
  add_executable(${name} ${_srcs})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${PT_UNPARSED_ARGUMENTS} px_testsupport GTest::gtest GTest::gmock)
  # One label per program (a list would be split into property names).
  set(_labels unit)
  if(PT_LABELS)
    list(GET PT_LABELS 0 _labels)
  endif()
  target_compile_definitions(${name} PRIVATE
    PX_SOURCE_DIR="${PROJECT_SOURCE_DIR}" PX_BINARY_DIR="${PROJECT_BINARY_DIR}")
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 120 LABELS ${_labels})
endfunction()
