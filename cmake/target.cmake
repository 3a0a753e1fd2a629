# usbmodem.sys: the driver sources linked as an x86 kernel-mode image for
# Windows XP, importing only from the kernel, the HAL, USBD and WMILIB.

if(NOT DRIVER_SOURCES)
  message(FATAL_ERROR "No driver sources found; nothing to link into usbmodem.sys")
endif()

find_path(USBMODEM_DDK_DIR ntddk.h
  PATHS /usr/share/mingw-w64/include /usr/${USBMODEM_MINGW_PREFIX}/include
  PATH_SUFFIXES ddk
  NO_DEFAULT_PATH REQUIRED)
find_program(USBMODEM_OBJCOPY ${USBMODEM_MINGW_PREFIX}-objcopy REQUIRED)
find_program(USBMODEM_OBJDUMP ${USBMODEM_MINGW_PREFIX}-objdump REQUIRED)

add_executable(usbmodem ${DRIVER_SOURCES})
# Pulled in only when the driver's code does 64-bit division.
add_library(usbmodem_int64 STATIC ${CMAKE_SOURCE_DIR}/target/int64.cpp)
set_target_properties(usbmodem PROPERTIES
  OUTPUT_NAME usbmodem
  SUFFIX .sys
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

target_include_directories(usbmodem PRIVATE ${DRIVER_INCLUDE_DIRS})

include(${CMAKE_SOURCE_DIR}/cmake/target_flags.cmake)
foreach(image_part usbmodem usbmodem_int64)
  # SYSTEM: the DDK headers are not ours to warn about.
  target_include_directories(${image_part} SYSTEM PRIVATE ${USBMODEM_DDK_DIR})
  target_compile_definitions(${image_part} PRIVATE ${USBMODEM_TARGET_DEFINITIONS})
  target_compile_options(${image_part} PRIVATE ${USBMODEM_TARGET_OPTIONS})
endforeach()

target_link_options(usbmodem PRIVATE
  -nostdlib
  -nostartfiles
  -Wl,--subsystem,native:5.01
  -Wl,--major-os-version,5
  -Wl,--minor-os-version,1
  -Wl,--entry,_DriverEntry@8
  -Wl,--image-base,0x10000
  -Wl,--section-alignment,0x1000
  -Wl,--file-alignment,0x200
  # The loader places a driver wherever it likes: keep the base relocations.
  -Wl,--dynamicbase
  -Wl,--enable-reloc-section
  # Auto-import would need the runtime's pseudo-relocation fixer.
  -Wl,--disable-auto-import
  -Wl,--disable-runtime-pseudo-reloc
  -Wl,--no-insert-timestamp
  # Keep the symbol table (the image checks locate routines by it), drop debug.
  -Wl,--strip-debug
  -Wl,-Map,${CMAKE_BINARY_DIR}/usbmodem.map)
# uuid only supplies GUID data a translation unit did not instantiate itself.
target_link_libraries(usbmodem PRIVATE usbmodem_int64 ntoskrnl hal usbd wmilib uuid)

# GNU ld has no way to mark an output section discardable; objcopy maps the
# "exclude" flag of a linked image's section to IMAGE_SCN_MEM_DISCARDABLE and
# recomputes the image checksum.
add_custom_command(TARGET usbmodem POST_BUILD
  COMMAND ${USBMODEM_OBJCOPY}
          --set-section-flags INIT=alloc,load,readonly,code,contents,exclude
          $<TARGET_FILE:usbmodem>
  VERBATIM)

# The image checks. The host build registers the same script as the ctest
# target_sys_checks on build/target/usbmodem.sys; here it is a build target
# and a test of this tree.
set(USBMODEM_SYS_CHECK ${CMAKE_SOURCE_DIR}/tests/target/check_sys.sh)
add_custom_target(check_sys
  COMMAND ${CMAKE_COMMAND} -E env OBJDUMP=${USBMODEM_OBJDUMP}
          sh ${USBMODEM_SYS_CHECK} $<TARGET_FILE:usbmodem>
  DEPENDS usbmodem
  VERBATIM)
enable_testing()
add_test(NAME target_sys_checks
  COMMAND sh ${USBMODEM_SYS_CHECK} $<TARGET_FILE:usbmodem>)
set_tests_properties(target_sys_checks PROPERTIES ENVIRONMENT OBJDUMP=${USBMODEM_OBJDUMP})
add_test(NAME target_page_irql_checker
  COMMAND sh ${CMAKE_SOURCE_DIR}/tests/target/check_page_irql_test.sh)
set_tests_properties(target_page_irql_checker PROPERTIES
  ENVIRONMENT "OBJDUMP=${USBMODEM_OBJDUMP};CXX=${CMAKE_CXX_COMPILER}")
