# The layout check: every structure that crosses the driver's edge, measured
# for i386 under mingw-w64's DDK headers (as usbmodem.sys is compiled) and
# under sim/kernel/include (as the host compiles it with -m32). The numbers
# are read from the two object files, nothing is run; any difference fails
# the build. The table goes to ${CMAKE_BINARY_DIR}/layout_table.txt.

set(LAYOUT_DIR ${CMAKE_SOURCE_DIR}/tests/layout)
set(LAYOUT_PROBE ${LAYOUT_DIR}/layout_probe.cpp)
set(LAYOUT_LIST ${LAYOUT_DIR}/layout_fields.h)
set(LAYOUT_COMPARE ${LAYOUT_DIR}/layout_compare.cmake)
set(LAYOUT_TABLE ${CMAKE_BINARY_DIR}/layout_table.txt)

find_program(LAYOUT_MINGW_CXX i686-w64-mingw32-g++)
find_program(LAYOUT_MINGW_OBJCOPY i686-w64-mingw32-objcopy)
find_program(LAYOUT_OBJCOPY NAMES objcopy)
find_path(LAYOUT_DDK_DIR ntddk.h
  PATHS /usr/share/mingw-w64/include /usr/i686-w64-mingw32/include
  PATH_SUFFIXES ddk NO_DEFAULT_PATH)

# The host compiler must build i386 objects (g++-multilib).
set(layout_try ${CMAKE_BINARY_DIR}/layout_m32_try.cpp)
file(WRITE ${layout_try} "#include <cstring>\n#include <cstdint>\nint layout_m32;\n")
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -m32 -c ${layout_try} -o ${layout_try}.o
  RESULT_VARIABLE layout_m32_rc OUTPUT_QUIET ERROR_QUIET)

if(NOT LAYOUT_MINGW_CXX OR NOT LAYOUT_MINGW_OBJCOPY OR NOT LAYOUT_OBJCOPY OR NOT LAYOUT_DDK_DIR
   OR NOT layout_m32_rc EQUAL 0)
  message(STATUS "layout check skipped: it needs i686-w64-mingw32-g++ with the DDK headers and "
                 "g++ -m32 (g++-multilib); tools/setup.sh installs them")
  return()
endif()

include(${CMAKE_SOURCE_DIR}/cmake/target_flags.cmake)

set(layout_mingw_flags -std=gnu++17)
foreach(d IN LISTS USBMODEM_TARGET_DEFINITIONS)
  list(APPEND layout_mingw_flags -D${d})
endforeach()
list(APPEND layout_mingw_flags -isystem ${LAYOUT_DDK_DIR} -I${CMAKE_SOURCE_DIR} ${USBMODEM_TARGET_OPTIONS})

get_directory_property(layout_host_defs COMPILE_DEFINITIONS)
set(layout_sim_flags -m32 -fshort-wchar -std=gnu++17 -Wall -Wextra -Wno-unused-parameter)
foreach(d IN LISTS layout_host_defs)
  list(APPEND layout_sim_flags -D${d})
endforeach()
list(APPEND layout_sim_flags -I${CMAKE_SOURCE_DIR}/sim/kernel/include -I${CMAKE_SOURCE_DIR})

# One side of the table: the probe compiled, its .lyt section extracted.
function(layout_side name compiler objcopy)
  set(obj ${CMAKE_BINARY_DIR}/layout/${name}.o)
  set(bin ${CMAKE_BINARY_DIR}/layout/${name}.bin)
  add_custom_command(OUTPUT ${obj} ${bin}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/layout
    COMMAND ${compiler} ${ARGN} -MD -MT ${obj} -MF ${obj}.d -c ${LAYOUT_PROBE} -o ${obj}
    COMMAND ${objcopy} -O binary --only-section=.lyt ${obj} ${bin}
    DEPENDS ${LAYOUT_PROBE} ${LAYOUT_LIST}
    DEPFILE ${obj}.d
    COMMENT "Measuring the x86 layouts (${name})"
    VERBATIM)
endfunction()

layout_side(mingw ${LAYOUT_MINGW_CXX} ${LAYOUT_MINGW_OBJCOPY} ${layout_mingw_flags})
layout_side(sim ${CMAKE_CXX_COMPILER} ${LAYOUT_OBJCOPY} ${layout_sim_flags})
# For the check's own test: the sim side with one structure gone wrong.
layout_side(sim_altered ${CMAKE_CXX_COMPILER} ${LAYOUT_OBJCOPY} ${layout_sim_flags} -DLAYOUT_PROBE_ALTER)

set(layout_args -DLIST=${LAYOUT_LIST} -DMINGW=${CMAKE_BINARY_DIR}/layout/mingw.bin)
set(layout_stamp ${CMAKE_BINARY_DIR}/layout/check.stamp)
# The stamp is touched only when the tables agree, so a failed check is
# run again by the next build.
add_custom_command(OUTPUT ${layout_stamp}
  COMMAND ${CMAKE_COMMAND} ${layout_args} -DSIM=${CMAKE_BINARY_DIR}/layout/sim.bin
          -DTABLE=${LAYOUT_TABLE} -P ${LAYOUT_COMPARE}
  COMMAND ${CMAKE_COMMAND} -E touch ${layout_stamp}
  DEPENDS ${CMAKE_BINARY_DIR}/layout/mingw.bin ${CMAKE_BINARY_DIR}/layout/sim.bin
          ${CMAKE_BINARY_DIR}/layout/sim_altered.bin ${LAYOUT_COMPARE}
  COMMENT "Comparing the x86 layouts: mingw-w64 DDK against sim/kernel/include"
  VERBATIM)
add_custom_target(layout_check ALL DEPENDS ${layout_stamp})

add_test(NAME layout_check_finds_difference
  COMMAND ${CMAKE_COMMAND} ${layout_args} -DSIM=${CMAKE_BINARY_DIR}/layout/sim_altered.bin
          -DTABLE=${CMAKE_BINARY_DIR}/layout/altered_table.txt -DCOMPARE=${LAYOUT_COMPARE}
          -P ${LAYOUT_DIR}/layout_check_test.cmake)
