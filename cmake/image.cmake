# The 32-bit build's image runtime: the PE loader, the export table and the
# driver stacks, the image-backed DriverEntry, and the test programs that run
# against the usbmodem.sys the target build made.

set(USBMODEM_IMAGE_DEFAULT ${CMAKE_SOURCE_DIR}/build/target/usbmodem.sys CACHE FILEPATH
  "The driver image the image-backed test programs load when USBMODEM_IMAGE is not set")

file(GLOB SIM_IMAGE_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/sim/image/*.cpp)
list(REMOVE_ITEM SIM_IMAGE_SOURCES ${CMAKE_SOURCE_DIR}/sim/image/pe_image.cpp ${CMAKE_SOURCE_DIR}/sim/image/pe_symbols.cpp)
add_library(simimage OBJECT ${SIM_IMAGE_SOURCES})
target_include_directories(simimage PUBLIC ${SIM_INCLUDE_DIRS})
target_link_libraries(simimage PUBLIC simimage_loader)

# DriverEntry, the driver's only symbol the machine calls by name.
add_library(usbmodem_image OBJECT ${CMAKE_SOURCE_DIR}/sim/image/entry/image_driver_entry.cpp)
target_include_directories(usbmodem_image PUBLIC ${SIM_INCLUDE_DIRS})
target_compile_definitions(usbmodem_image PRIVATE USBMODEM_DEFAULT_IMAGE="${USBMODEM_IMAGE_DEFAULT}")
target_link_libraries(usbmodem_image PUBLIC simimage)

# Without the fixtures that drive the driver's internal routines.
set(TEST_SUPPORT_IMAGE ${TEST_SUPPORT})
list(FILTER TEST_SUPPORT_IMAGE EXCLUDE REGEX "/(driver_fixture|driver_irp|reader_lower|scripted_lower)\\.cpp$")

# The same test program against the image: sources of the folder that drive
# the machine from outside the driver (those named in `exclude` reach into it).
function(image_test_folder folder)
  cmake_parse_arguments(ARG "" "" "EXCLUDE" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/${folder}/*.cpp)
  foreach(x ${ARG_EXCLUDE})
    list(REMOVE_ITEM srcs ${CMAKE_SOURCE_DIR}/tests/${folder}/${x})
  endforeach()
  add_executable(test_${folder}_image ${srcs} ${TEST_SUPPORT_IMAGE} ${GTEST_SRC}/src/gtest_main.cc)
  target_include_directories(test_${folder}_image PRIVATE ${SIM_INCLUDE_DIRS} ${CMAKE_SOURCE_DIR}/tests)
  target_link_libraries(test_${folder}_image PRIVATE ${SIM_ALL} usbmodem_image simimage simimage_loader gtest_host)
  add_test(NAME ${folder}_image COMMAND test_${folder}_image)
  set_tests_properties(${folder}_image PROPERTIES TIMEOUT 1800
    ENVIRONMENT "USBMODEM_IMAGE=${USBMODEM_IMAGE_DEFAULT}")
endfunction()

# The test drivers of tests/image, each a small PE image built by mingw-w64.
find_program(USBMODEM_MINGW_GXX i686-w64-mingw32-g++)
find_path(USBMODEM_MINGW_DDK ntddk.h PATHS /usr/share/mingw-w64/include /usr/i686-w64-mingw32/include
  PATH_SUFFIXES ddk NO_DEFAULT_PATH)
if(USBMODEM_MINGW_GXX AND USBMODEM_MINGW_DDK)
  file(GLOB test_drivers CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/image_runtime/drivers/*.cpp)
  set(test_images "")
  foreach(src ${test_drivers})
    get_filename_component(name ${src} NAME_WE)
    set(out ${CMAKE_BINARY_DIR}/test_images/${name}.sys)
    add_custom_command(OUTPUT ${out}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/test_images
      COMMAND ${USBMODEM_MINGW_GXX} -O1 -ffreestanding -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables
        -fno-stack-protector -mno-stack-arg-probe -isystem ${USBMODEM_MINGW_DDK} -include ${CMAKE_SOURCE_DIR}/target/compat.h -I ${CMAKE_SOURCE_DIR}/tests/image_runtime/drivers
        -nostdlib -nostartfiles -shared -Wl,--subsystem,native -Wl,--entry,_DriverEntry@8
        -Wl,--section-alignment,0x1000 -Wl,--file-alignment,0x200 -Wl,--dynamicbase -Wl,--enable-reloc-section
        -o ${out} ${src} -lntoskrnl -lhal
      COMMAND i686-w64-mingw32-objcopy --set-section-flags INIT=alloc,load,readonly,code,contents,exclude ${out}
      DEPENDS ${src} ${CMAKE_SOURCE_DIR}/tests/image_runtime/drivers/test_driver.h ${CMAKE_SOURCE_DIR}/target/compat.h
      VERBATIM)
    list(APPEND test_images ${out})
  endforeach()
  add_custom_target(test_images ALL DEPENDS ${test_images})

  file(GLOB image_tests CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/image_runtime/*.cpp)
  add_executable(test_image_runtime ${image_tests} ${GTEST_SRC}/src/gtest_main.cc)
  target_include_directories(test_image_runtime PRIVATE ${SIM_INCLUDE_DIRS} ${CMAKE_SOURCE_DIR}/tests)
  target_compile_definitions(test_image_runtime PRIVATE USBMODEM_TEST_IMAGES="${CMAKE_BINARY_DIR}/test_images")
  target_link_libraries(test_image_runtime PRIVATE simkernel simusb simimage simimage_loader gtest_host)
  add_dependencies(test_image_runtime test_images)
  add_test(NAME image_runtime COMMAND test_image_runtime)
  set_tests_properties(image_runtime PROPERTIES TIMEOUT 900)
else()
  message(STATUS "i686-w64-mingw32-g++ or the mingw-w64 DDK headers missing: the image runtime's tests are not built")
endif()

# The suite against the image: the folders that drive the machine from
# outside the driver. tests/driver, serial, datapath and usb (and stress tests
# built on the driver fixture) call the driver's internal routines, which an
# image does not export: they stay with the host build.
image_test_folder(win32)
image_test_folder(scenario)
