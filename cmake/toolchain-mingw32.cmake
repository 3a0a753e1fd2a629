# Cross toolchain for usbmodem.sys: 32-bit Windows, mingw-w64.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(USBMODEM_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER   ${USBMODEM_MINGW_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${USBMODEM_MINGW_PREFIX}-g++)
set(CMAKE_RC_COMPILER  ${USBMODEM_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${USBMODEM_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# The compiler checks would try to link a console program against the C
# runtime, which a kernel image never has.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
