# libFuzzer programs, one per input the driver takes (tests/fuzz/*_fuzz.cpp),
# each also run over its checked-in corpus as a plain regression test.
set_target_properties(gtest_host PROPERTIES EXCLUDE_FROM_ALL ON)

file(GLOB FUZZ_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/fuzz/*_fuzz.cpp)
file(GLOB FUZZ_SUPPORT CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/fuzz/support/*.cpp)
add_library(fuzz_support OBJECT ${FUZZ_SUPPORT})
target_include_directories(fuzz_support PUBLIC ${SIM_INCLUDE_DIRS} ${CMAKE_SOURCE_DIR}/tests/fuzz)

foreach(source ${FUZZ_SOURCES})
  get_filename_component(name ${source} NAME_WE)
  string(REGEX REPLACE "_fuzz$" "" target ${name})
  add_executable(${name} ${source})
  target_include_directories(${name} PRIVATE ${SIM_INCLUDE_DIRS} ${CMAKE_SOURCE_DIR}/tests/fuzz)
  target_link_libraries(${name} PRIVATE fuzz_support ${SIM_ALL} usbmodem_host)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  set(corpus ${CMAKE_SOURCE_DIR}/tests/fuzz/corpus/${target})
  set(args ${corpus})
  set(dict ${CMAKE_SOURCE_DIR}/tests/fuzz/${target}.dict)
  if(EXISTS ${dict})
    list(PREPEND args -dict=${dict})
  endif()
  # -runs=0 runs each file of the corpus once and fuzzes nothing.
  add_test(NAME fuzz_corpus_${target} COMMAND ${name} -runs=0 ${args})
  set_tests_properties(fuzz_corpus_${target} PROPERTIES TIMEOUT 600)
endforeach()
