# How a translation unit of usbmodem.sys is compiled: the defines and options
# the image build uses, shared with the host's layout check so that it sees
# the DDK headers exactly as the image does.
set(USBMODEM_COMPAT_HEADER ${CMAKE_SOURCE_DIR}/target/compat.h)
set(USBMODEM_TARGET_DEFINITIONS
  _WIN32_WINNT=0x0501
  WINVER=0x0501
  NTDDI_VERSION=0x05010000)
set(USBMODEM_TARGET_OPTIONS
  -include ${USBMODEM_COMPAT_HEADER}
  -ffreestanding
  -fno-exceptions
  -fno-rtti
  -fno-asynchronous-unwind-tables
  -fno-unwind-tables
  -fno-threadsafe-statics
  -fno-stack-protector
  -fno-strict-aliasing
  # No FPU/SSE state may be touched at raised IRQL without saving it.
  -mgeneral-regs-only
  # Large frames would call libgcc's ___chkstk_ms; the kernel stack is
  # 12 KB anyway, so such a frame is a bug, not something to probe.
  -mno-stack-arg-probe
  -Wall)
