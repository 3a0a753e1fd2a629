#include "badinput/ioctl_catalogue.h"

#include "driver/driver.h"

namespace badinput {

namespace {

std::vector<uint8_t> Ulong(ULONG v) {
  return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}

// Serial codes of Windows' ntddser.h that this DDK's header lacks. (The
// IOCTL_SERIAL_INTERNAL_* codes are not here: as device-control codes they
// are the same numbers as served ones, SET_BAUD_RATE and the like.)
constexpr ULONG kGetCommConfig = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 33, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kSetCommConfig = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 34, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kApplyDefaultConfiguration = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 40, METHOD_BUFFERED, FILE_ANY_ACCESS);
// Not serial codes: another device type's, and the bus driver's own request.
constexpr ULONG kForeignCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);

#define CASE(code, ...) IoctlCase{code, #code, {__VA_ARGS__}}

}  // namespace

const std::vector<IoctlCase> &IoctlCases() {
  static const std::vector<IoctlCase> cases = {
      // Served by the driver.
      CASE(IOCTL_SERIAL_SET_BAUD_RATE, 0x00, 0xC2, 0x01, 0x00),  // 115200
      CASE(IOCTL_SERIAL_GET_BAUD_RATE),
      CASE(IOCTL_SERIAL_SET_QUEUE_SIZE),
      CASE(IOCTL_SERIAL_SET_LINE_CONTROL, 0, 0, 8),
      CASE(IOCTL_SERIAL_GET_LINE_CONTROL),
      CASE(IOCTL_SERIAL_IMMEDIATE_CHAR, 'A'),
      CASE(IOCTL_SERIAL_SET_TIMEOUTS),
      CASE(IOCTL_SERIAL_GET_TIMEOUTS),
      CASE(IOCTL_SERIAL_SET_DTR),
      CASE(IOCTL_SERIAL_CLR_DTR),
      CASE(IOCTL_SERIAL_SET_RTS),
      CASE(IOCTL_SERIAL_CLR_RTS),
      CASE(IOCTL_SERIAL_GET_WAIT_MASK),
      IoctlCase{IOCTL_SERIAL_SET_WAIT_MASK, "IOCTL_SERIAL_SET_WAIT_MASK", Ulong(kSweepWaitMask)},
      CASE(IOCTL_SERIAL_WAIT_ON_MASK),
      IoctlCase{IOCTL_SERIAL_PURGE, "IOCTL_SERIAL_PURGE", Ulong(SERIAL_PURGE_RXABORT | SERIAL_PURGE_RXCLEAR)},
      CASE(IOCTL_SERIAL_GET_CHARS),
      CASE(IOCTL_SERIAL_SET_CHARS),
      CASE(IOCTL_SERIAL_GET_HANDFLOW),
      CASE(IOCTL_SERIAL_SET_HANDFLOW),
      CASE(IOCTL_SERIAL_GET_MODEMSTATUS),
      CASE(IOCTL_SERIAL_GET_COMMSTATUS),
      CASE(IOCTL_SERIAL_GET_PROPERTIES),
      CASE(IOCTL_SERIAL_GET_DTRRTS),
      CASE(IOCTL_SERIAL_CONFIG_SIZE),
      CASE(IOCTL_SERIAL_GET_STATS),
      CASE(IOCTL_SERIAL_CLEAR_STATS),
      CASE(IOCTL_SERIAL_GET_MODEM_CONTROL),
      CASE(IOCTL_SERIAL_SET_MODEM_CONTROL),
      // Serial codes the port does not emulate.
      CASE(IOCTL_SERIAL_SET_BREAK_ON),
      CASE(IOCTL_SERIAL_SET_BREAK_OFF),
      CASE(IOCTL_SERIAL_RESET_DEVICE),
      CASE(IOCTL_SERIAL_SET_XOFF),
      CASE(IOCTL_SERIAL_SET_XON),
      CASE(IOCTL_SERIAL_LSRMST_INSERT),
      CASE(IOCTL_SERIAL_XOFF_COUNTER),
      CASE(IOCTL_SERIAL_SET_FIFO_CONTROL),
      IoctlCase{kGetCommConfig, "IOCTL_SERIAL_GET_COMMCONFIG", {}},
      IoctlCase{kSetCommConfig, "IOCTL_SERIAL_SET_COMMCONFIG", {}},
      IoctlCase{kApplyDefaultConfiguration, "IOCTL_SERIAL_APPLY_DEFAULT_CONFIGURATION", {}},
      // Not serial codes.
      IoctlCase{0, "code 0", {}},
      IoctlCase{kForeignCode, "FILE_DEVICE_UNKNOWN function 0x800", {}},
      CASE(IOCTL_INTERNAL_USB_SUBMIT_URB),
  };
  return cases;
}

}  // namespace badinput
