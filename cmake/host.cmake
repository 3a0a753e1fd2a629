# Host build: the driver linked into the simulated machine, tests, tools.
enable_testing()

# Wide strings are 16-bit on the target; every host unit agrees.
add_compile_options(-fshort-wchar -Wall -Wextra -Wno-unused-parameter -Wno-missing-field-initializers)
add_compile_definitions(GTEST_HAS_STD_WSTRING=0)

# The race detector watches the driver's own memory accesses between
# simulated processors; the simulated machine only tells it where the
# kernel's synchronisation orders them.
option(USBMODEM_RACE_DETECTOR "Build the driver with ThreadSanitizer over the fiber scheduler" OFF)
# The fuzz build (clang): the machine and the driver instrumented for
# libFuzzer's coverage and checked by the address and undefined-behaviour
# sanitizers; only the fuzz programs link libFuzzer itself.
option(USBMODEM_FUZZ "Build the libFuzzer programs of tests/fuzz" OFF)
if(USBMODEM_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(USBMODEM_RACE_DETECTOR)
  add_compile_definitions(USBMODEM_RACE_DETECTOR=1)
  add_link_options(-fsanitize=thread)
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
elseif(CMAKE_BUILD_TYPE STREQUAL "Debug")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

# GoogleTest from Debian's sources, built with the same wchar_t.
set(GTEST_SRC /usr/src/googletest/googletest)
add_library(gtest_host STATIC ${GTEST_SRC}/src/gtest-all.cc)
target_include_directories(gtest_host PUBLIC ${GTEST_SRC}/include PRIVATE ${GTEST_SRC})
find_package(Threads REQUIRED)
target_link_libraries(gtest_host PUBLIC Threads::Threads)

set(SIM_INCLUDE_DIRS ${CMAKE_SOURCE_DIR}/sim/kernel/include ${CMAKE_SOURCE_DIR}/sim/win32/include ${CMAKE_SOURCE_DIR})

# The simulated machine, one object library per component so that their
# static registrations are never dropped by the linker.
function(sim_component name)
  file(GLOB srcs CONFIGURE_DEPENDS ${ARGN})
  if(srcs)
    add_library(${name} OBJECT ${srcs})
    target_include_directories(${name} PUBLIC ${SIM_INCLUDE_DIRS})
    target_link_libraries(${name} PUBLIC Threads::Threads)
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${SIM_INCLUDE_DIRS})
  endif()
endfunction()

sim_component(simkernel ${CMAKE_SOURCE_DIR}/sim/kernel/src/*.cpp)
sim_component(simusb ${CMAKE_SOURCE_DIR}/sim/usb/*.cpp)
sim_component(simmodem ${CMAKE_SOURCE_DIR}/sim/modem/*.cpp)
sim_component(simwin32 ${CMAKE_SOURCE_DIR}/sim/win32/src/*.cpp)
sim_component(simworld ${CMAKE_SOURCE_DIR}/sim/world/*.cpp)

# The driver, kernel C++ as on the target: no exceptions, no RTTI. Only the
# host DDK headers are on its include path.
if(DRIVER_SOURCES)
  add_library(usbmodem_host OBJECT ${DRIVER_SOURCES})
  target_include_directories(usbmodem_host PUBLIC ${CMAKE_SOURCE_DIR}/sim/kernel/include ${CMAKE_SOURCE_DIR})
  target_compile_options(usbmodem_host PRIVATE -fno-exceptions -fno-rtti)
  if(USBMODEM_RACE_DETECTOR)
    target_compile_options(usbmodem_host PRIVATE -fsanitize=thread)
  endif()
else()
  add_library(usbmodem_host INTERFACE)
endif()

set(SIM_ALL simkernel simusb simmodem simwin32 simworld)
set(SIM_KERNEL_ONLY simkernel)
if(USBMODEM_RACE_DETECTOR)
  # The machine as a library of its own that the race detector does not
  # watch (ignore_noninstrumented_modules): its own bookkeeping crosses
  # simulated processors freely; only the driver's accesses are checked.
  add_library(simmachine SHARED $<TARGET_OBJECTS:simkernel> $<TARGET_OBJECTS:simusb>
    $<TARGET_OBJECTS:simmodem> $<TARGET_OBJECTS:simwin32>)
  target_include_directories(simmachine PUBLIC ${SIM_INCLUDE_DIRS})
  target_link_libraries(simmachine PUBLIC Threads::Threads)
  set(SIM_ALL simmachine simworld)
  set(SIM_KERNEL_ONLY simmachine)
endif()

# The fuzz build makes the fuzz programs and nothing else.
if(USBMODEM_FUZZ)
  include(${CMAKE_SOURCE_DIR}/cmake/fuzz.cmake)
  return()
endif()

# Structures crossing the driver's edge laid out as x86 Windows does.
include(${CMAKE_SOURCE_DIR}/cmake/layout_check.cmake)

# Test support shared by the test folders.
file(GLOB TEST_SUPPORT CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/support/*.cpp)

# One test program per folder of tests/. The kernel's own tests need only the kernel.
function(test_folder folder)
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/${folder}/*.cpp)
  if(NOT srcs)
    return()
  endif()
  # The kernel's own tests link no driver, so they take none of the driver fixtures.
  set(support ${TEST_SUPPORT})
  if(folder STREQUAL "kernel" OR folder STREQUAL "image")
    set(support "")
  endif()
  add_executable(test_${folder} ${srcs} ${support} ${GTEST_SRC}/src/gtest_main.cc)
  target_include_directories(test_${folder} PRIVATE ${SIM_INCLUDE_DIRS} ${CMAKE_SOURCE_DIR}/tests)
  target_link_libraries(test_${folder} PRIVATE ${ARGN} gtest_host)
  if(TARGET layout_check)
    add_dependencies(test_${folder} layout_check)
  endif()
  add_test(NAME ${folder} COMMAND test_${folder})
  set_tests_properties(${folder} PROPERTIES TIMEOUT 900)
  if(USBMODEM_RACE_DETECTOR)
    set_tests_properties(${folder} PROPERTIES ENVIRONMENT
      "TSAN_OPTIONS=ignore_noninstrumented_modules=1 suppressions=${CMAKE_SOURCE_DIR}/tests/support/race_suppressions.txt")
  endif()
endfunction()

test_folder(kernel ${SIM_KERNEL_ONLY})

# The PE loader; it maps images below 4 GiB, so the 64-bit build tests it too.
add_library(simimage_loader OBJECT ${CMAKE_SOURCE_DIR}/sim/image/pe_image.cpp ${CMAKE_SOURCE_DIR}/sim/image/pe_symbols.cpp)
target_include_directories(simimage_loader PUBLIC ${CMAKE_SOURCE_DIR})
test_folder(image simimage_loader)
if(TARGET test_image)
  target_compile_definitions(test_image PRIVATE USBMODEM_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
endif()
foreach(folder driver serial datapath usb modem win32 scenario stress badinput)
  test_folder(${folder} ${SIM_ALL} usbmodem_host)
endforeach()
# The bad-input table is kept in the sources and rewritten there on request.
if(TARGET test_badinput)
  target_compile_definitions(test_badinput PRIVATE USBMODEM_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
endif()

# The stress runner (tools/stress): the scenario over seeds, processor
# counts and every fault plan a clean run's census says it reaches.
file(GLOB STRESS_RUNNER_SRCS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/stress/runner/*.cpp)
add_executable(stress_runner ${STRESS_RUNNER_SRCS})
target_include_directories(stress_runner PRIVATE ${SIM_INCLUDE_DIRS} ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(stress_runner PRIVATE ${SIM_ALL} usbmodem_host)
# The stress tests also check the runner's plans and stream checks.
target_sources(test_stress PRIVATE ${CMAKE_SOURCE_DIR}/tests/stress/runner/checks.cpp
  ${CMAKE_SOURCE_DIR}/tests/stress/runner/plan.cpp)

# The 32-bit build also runs the shipped image.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  include(${CMAKE_SOURCE_DIR}/cmake/image.cmake)
endif()

# The race detector build runs the test programs only; the checks below
# belong to the sanitizer build.
if(USBMODEM_RACE_DETECTOR)
  return()
endif()

# A slice of the stress runs CI can afford: one seed on 1, 2 and 4
# processors, every plan, the unplug at every 25th schedule point of the
# traffic (tools/stress runs the rest).
add_test(NAME stress_plans COMMAND stress_runner --seeds 1 --cpus 1,2,4 --unplug-every 25)
set_tests_properties(stress_plans PROPERTIES TIMEOUT 900 LABELS stress_plans)

# Every run replays exactly: the same seed gives a byte-identical trace.
add_test(NAME trace_replay
  COMMAND bash ${CMAKE_SOURCE_DIR}/tests/support/replay_check.sh
    $<TARGET_FILE:test_kernel> $<TARGET_FILE:test_stress> $<TARGET_FILE:test_scenario>)

# Single-seed tests under other seeds too (USBMODEM_SWEEP seeds each).
add_test(NAME seed_sweep
  COMMAND bash ${CMAKE_SOURCE_DIR}/tests/support/seed_sweep.sh
    $<TARGET_FILE:test_kernel> $<TARGET_FILE:test_driver> $<TARGET_FILE:test_serial> $<TARGET_FILE:test_datapath>
    $<TARGET_FILE:test_usb> $<TARGET_FILE:test_modem> $<TARGET_FILE:test_win32> $<TARGET_FILE:test_scenario> $<TARGET_FILE:test_stress>)
set_tests_properties(seed_sweep PROPERTIES TIMEOUT 1800)
# ctest puts the emulator before the programs it runs itself; the scripts
# above start theirs and are told it.
if(CMAKE_CROSSCOMPILING_EMULATOR)
  list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " emulator)
  set_tests_properties(trace_replay seed_sweep PROPERTIES ENVIRONMENT "USBMODEM_EMULATOR=${emulator}")
endif()

# The built usbmodem.sys keeps the properties a Windows machine needs.
add_test(NAME target_sys_checks
  COMMAND bash ${CMAKE_SOURCE_DIR}/tests/target/check_sys.sh ${CMAKE_SOURCE_DIR}/build/target/usbmodem.sys)

# The image check of pageable code finds raising calls however they are emitted.
add_test(NAME target_page_irql_checker
  COMMAND sh ${CMAKE_SOURCE_DIR}/tests/target/check_page_irql_test.sh)

if(EXISTS ${CMAKE_SOURCE_DIR}/tools/CMakeLists.txt)
  add_subdirectory(tools)
endif()
