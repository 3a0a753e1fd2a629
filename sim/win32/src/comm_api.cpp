// The remaining comm helpers: each is the one control request kernel32 sends.
#include <windows.h>

#include "sim/win32/include/ntddser.h"
#include "sim/win32/src/file_api.h"
#include "sim/win32/src/last_error.h"

using namespace sim::win32;

namespace {

BOOL BadParameter() {
  SetLastError(ERROR_INVALID_PARAMETER);
  return FALSE;
}

DWORD CommErrorsOf(ULONG errors) {
  DWORD e = 0;
  if (errors & SERIAL_ERROR_BREAK) e |= CE_BREAK;
  if (errors & SERIAL_ERROR_FRAMING) e |= CE_FRAME;
  if (errors & SERIAL_ERROR_OVERRUN) e |= CE_OVERRUN;
  if (errors & SERIAL_ERROR_QUEUEOVERRUN) e |= CE_RXOVER;
  if (errors & SERIAL_ERROR_PARITY) e |= CE_RXPARITY;
  return e;
}

}  // namespace

extern "C" BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
  if (lpCommTimeouts == nullptr) return BadParameter();
  static_assert(sizeof(COMMTIMEOUTS) == sizeof(SERIAL_TIMEOUTS), "COMMTIMEOUTS is SERIAL_TIMEOUTS");
  return SyncControl(hFile, IOCTL_SERIAL_SET_TIMEOUTS, lpCommTimeouts, sizeof(SERIAL_TIMEOUTS), nullptr, 0);
}

extern "C" BOOL WINAPI GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
  if (lpCommTimeouts == nullptr) return BadParameter();
  return SyncControl(hFile, IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, lpCommTimeouts, sizeof(SERIAL_TIMEOUTS));
}

extern "C" BOOL WINAPI SetCommMask(HANDLE hFile, DWORD dwEvtMask) {
  ULONG mask = dwEvtMask;
  return SyncControl(hFile, IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof(mask), nullptr, 0);
}

extern "C" BOOL WINAPI GetCommMask(HANDLE hFile, LPDWORD lpEvtMask) {
  if (lpEvtMask == nullptr) return BadParameter();
  return SyncControl(hFile, IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, lpEvtMask, sizeof(DWORD));
}

extern "C" BOOL WINAPI WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped) {
  if (lpEvtMask == nullptr) return BadParameter();
  // The mask is written at completion, into the caller's DWORD.
  DWORD ignored = 0;
  return IssueRequest(hFile, lpOverlapped, &ignored, [&](void *h, void *event, IoStatus *iosb) {
    return Control(h, event, iosb, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, lpEvtMask, sizeof(DWORD));
  });
}

extern "C" BOOL WINAPI EscapeCommFunction(HANDLE hFile, DWORD dwFunc) {
  DWORD code;
  switch (dwFunc) {
    case SETXOFF: code = IOCTL_SERIAL_SET_XOFF; break;
    case SETXON: code = IOCTL_SERIAL_SET_XON; break;
    case SETRTS: code = IOCTL_SERIAL_SET_RTS; break;
    case CLRRTS: code = IOCTL_SERIAL_CLR_RTS; break;
    case SETDTR: code = IOCTL_SERIAL_SET_DTR; break;
    case CLRDTR: code = IOCTL_SERIAL_CLR_DTR; break;
    case RESETDEV: code = IOCTL_SERIAL_RESET_DEVICE; break;
    case SETBREAK: code = IOCTL_SERIAL_SET_BREAK_ON; break;
    case CLRBREAK: code = IOCTL_SERIAL_SET_BREAK_OFF; break;
    default: return BadParameter();
  }
  return SyncControl(hFile, code, nullptr, 0, nullptr, 0);
}

extern "C" BOOL WINAPI SetCommBreak(HANDLE hFile) { return EscapeCommFunction(hFile, SETBREAK); }

extern "C" BOOL WINAPI ClearCommBreak(HANDLE hFile) { return EscapeCommFunction(hFile, CLRBREAK); }

extern "C" BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags) {
  ULONG mask = dwFlags;
  return SyncControl(hFile, IOCTL_SERIAL_PURGE, &mask, sizeof(mask), nullptr, 0);
}

extern "C" BOOL WINAPI ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat) {
  SERIAL_STATUS status;
  memset(&status, 0, sizeof(status));
  if (!SyncControl(hFile, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status, sizeof(status))) return FALSE;
  if (lpErrors != nullptr) *lpErrors = CommErrorsOf(status.Errors);
  if (lpStat != nullptr) {
    memset(lpStat, 0, sizeof(*lpStat));
    lpStat->fCtsHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_CTS) != 0;
    lpStat->fDsrHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_DSR) != 0;
    lpStat->fRlsdHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_DCD) != 0;
    lpStat->fXoffHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_XON) != 0;
    lpStat->fXoffSent = (status.HoldReasons & SERIAL_TX_WAITING_XOFF_SENT) != 0;
    lpStat->fEof = status.EofReceived != 0;
    lpStat->fTxim = status.WaitForImmediate != 0;
    lpStat->cbInQue = status.AmountInInQueue;
    lpStat->cbOutQue = status.AmountInOutQueue;
  }
  return TRUE;
}

extern "C" BOOL WINAPI GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat) {
  if (lpModemStat == nullptr) return BadParameter();
  return SyncControl(hFile, IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, lpModemStat, sizeof(DWORD));
}

extern "C" BOOL WINAPI GetCommProperties(HANDLE hFile, LPCOMMPROP lpCommProp) {
  if (lpCommProp == nullptr) return BadParameter();
  static_assert(sizeof(COMMPROP) == 64, "COMMPROP is the driver's 64-byte property block");
  return SyncControl(hFile, IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, lpCommProp, sizeof(COMMPROP));
}

extern "C" BOOL WINAPI TransmitCommChar(HANDLE hFile, char cChar) {
  UCHAR c = static_cast<UCHAR>(cChar);
  return SyncControl(hFile, IOCTL_SERIAL_IMMEDIATE_CHAR, &c, 1, nullptr, 0);
}

extern "C" BOOL WINAPI SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue) {
  SERIAL_QUEUE_SIZE size;
  size.InSize = dwInQueue;
  size.OutSize = dwOutQueue;
  return SyncControl(hFile, IOCTL_SERIAL_SET_QUEUE_SIZE, &size, sizeof(size), nullptr, 0);
}
