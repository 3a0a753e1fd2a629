// SetCommState and GetCommState: a DCB is four driver records (baud rate,
// line control, special characters, handshake and flow), sent and fetched
// in the order kernel32 uses.
#include <windows.h>

#include "sim/win32/include/ntddser.h"
#include "sim/win32/src/file_api.h"

using namespace sim::win32;

namespace {

struct PortRecords {
  SERIAL_BAUD_RATE baud;
  SERIAL_LINE_CONTROL line;
  SERIAL_CHARS chars;
  SERIAL_HANDFLOW handflow;
};

BOOL FetchRecords(HANDLE h, PortRecords *r) {
  return SyncControl(h, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &r->baud, sizeof(r->baud)) &&
         SyncControl(h, IOCTL_SERIAL_GET_LINE_CONTROL, nullptr, 0, &r->line, sizeof(r->line)) &&
         SyncControl(h, IOCTL_SERIAL_GET_CHARS, nullptr, 0, &r->chars, sizeof(r->chars)) &&
         SyncControl(h, IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, &r->handflow, sizeof(r->handflow));
}

BOOL StoreRecords(HANDLE h, const PortRecords &r) {
  return SyncControl(h, IOCTL_SERIAL_SET_BAUD_RATE, &r.baud, sizeof(r.baud), nullptr, 0) &&
         SyncControl(h, IOCTL_SERIAL_SET_LINE_CONTROL, &r.line, sizeof(r.line), nullptr, 0) &&
         SyncControl(h, IOCTL_SERIAL_SET_CHARS, &r.chars, sizeof(r.chars), nullptr, 0) &&
         SyncControl(h, IOCTL_SERIAL_SET_HANDFLOW, &r.handflow, sizeof(r.handflow), nullptr, 0);
}

ULONG ControlHandShakeOf(const DCB &dcb) {
  ULONG v = 0;
  if (dcb.fDtrControl == DTR_CONTROL_ENABLE) v |= SERIAL_DTR_CONTROL;
  if (dcb.fDtrControl == DTR_CONTROL_HANDSHAKE) v |= SERIAL_DTR_HANDSHAKE;
  if (dcb.fOutxCtsFlow) v |= SERIAL_CTS_HANDSHAKE;
  if (dcb.fOutxDsrFlow) v |= SERIAL_DSR_HANDSHAKE;
  if (dcb.fDsrSensitivity) v |= SERIAL_DSR_SENSITIVITY;
  if (dcb.fAbortOnError) v |= SERIAL_ERROR_ABORT;
  return v;
}

ULONG FlowReplaceOf(const DCB &dcb) {
  ULONG v = 0;
  if (dcb.fRtsControl == RTS_CONTROL_ENABLE) v |= SERIAL_RTS_CONTROL;
  if (dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) v |= SERIAL_RTS_HANDSHAKE;
  if (dcb.fRtsControl == RTS_CONTROL_TOGGLE) v |= SERIAL_TRANSMIT_TOGGLE;
  if (dcb.fOutX) v |= SERIAL_AUTO_TRANSMIT;
  if (dcb.fInX) v |= SERIAL_AUTO_RECEIVE;
  if (dcb.fErrorChar) v |= SERIAL_ERROR_CHAR;
  if (dcb.fNull) v |= SERIAL_NULL_STRIPPING;
  if (dcb.fTXContinueOnXoff) v |= SERIAL_XOFF_CONTINUE;
  return v;
}

PortRecords RecordsOf(const DCB &dcb, const PortRecords &old) {
  PortRecords r = old;
  r.baud.BaudRate = dcb.BaudRate;
  r.line.StopBits = dcb.StopBits;
  r.line.Parity = dcb.Parity;
  r.line.WordLength = dcb.ByteSize;
  r.chars.EofChar = static_cast<UCHAR>(dcb.EofChar);
  r.chars.ErrorChar = static_cast<UCHAR>(dcb.ErrorChar);
  r.chars.EventChar = static_cast<UCHAR>(dcb.EvtChar);
  r.chars.XonChar = static_cast<UCHAR>(dcb.XonChar);
  r.chars.XoffChar = static_cast<UCHAR>(dcb.XoffChar);
  r.handflow.ControlHandShake = ControlHandShakeOf(dcb);
  r.handflow.FlowReplace = FlowReplaceOf(dcb);
  r.handflow.XonLimit = dcb.XonLim;
  r.handflow.XoffLimit = dcb.XoffLim;
  return r;
}

// DTR and RTS follow the DCB when it asks for a fixed level; handshake modes
// leave the lines to the driver.
BOOL ApplyLines(HANDLE h, const DCB &dcb) {
  if (dcb.fDtrControl == DTR_CONTROL_ENABLE && !SyncControl(h, IOCTL_SERIAL_SET_DTR, nullptr, 0, nullptr, 0)) {
    return FALSE;
  }
  if (dcb.fDtrControl == DTR_CONTROL_DISABLE && !SyncControl(h, IOCTL_SERIAL_CLR_DTR, nullptr, 0, nullptr, 0)) {
    return FALSE;
  }
  if (dcb.fRtsControl == RTS_CONTROL_ENABLE && !SyncControl(h, IOCTL_SERIAL_SET_RTS, nullptr, 0, nullptr, 0)) {
    return FALSE;
  }
  if (dcb.fRtsControl == RTS_CONTROL_DISABLE && !SyncControl(h, IOCTL_SERIAL_CLR_RTS, nullptr, 0, nullptr, 0)) {
    return FALSE;
  }
  return TRUE;
}

}  // namespace

extern "C" BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB) {
  if (lpDCB == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  PortRecords old;
  if (!FetchRecords(hFile, &old)) return FALSE;
  PortRecords wanted = RecordsOf(*lpDCB, old);
  if (StoreRecords(hFile, wanted) && ApplyLines(hFile, *lpDCB)) return TRUE;
  // Put the port back as it was, keeping the error of the failed step.
  DWORD error = GetLastError();
  StoreRecords(hFile, old);
  SetLastError(error);
  return FALSE;
}

extern "C" BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB) {
  if (lpDCB == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  PortRecords r;
  if (!FetchRecords(hFile, &r)) return FALSE;
  memset(lpDCB, 0, sizeof(*lpDCB));
  DCB &dcb = *lpDCB;
  dcb.DCBlength = sizeof(DCB);
  dcb.BaudRate = r.baud.BaudRate;
  dcb.fBinary = TRUE;
  dcb.fParity = r.line.Parity != NOPARITY;
  dcb.ByteSize = r.line.WordLength;
  dcb.Parity = r.line.Parity;
  dcb.StopBits = r.line.StopBits;
  dcb.EofChar = static_cast<char>(r.chars.EofChar);
  dcb.ErrorChar = static_cast<char>(r.chars.ErrorChar);
  dcb.EvtChar = static_cast<char>(r.chars.EventChar);
  dcb.XonChar = static_cast<char>(r.chars.XonChar);
  dcb.XoffChar = static_cast<char>(r.chars.XoffChar);
  ULONG hs = r.handflow.ControlHandShake;
  ULONG fr = r.handflow.FlowReplace;
  if ((hs & SERIAL_DTR_MASK) == SERIAL_DTR_CONTROL) dcb.fDtrControl = DTR_CONTROL_ENABLE;
  if ((hs & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE) dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
  dcb.fOutxCtsFlow = (hs & SERIAL_CTS_HANDSHAKE) != 0;
  dcb.fOutxDsrFlow = (hs & SERIAL_DSR_HANDSHAKE) != 0;
  dcb.fDsrSensitivity = (hs & SERIAL_DSR_SENSITIVITY) != 0;
  dcb.fAbortOnError = (hs & SERIAL_ERROR_ABORT) != 0;
  switch (fr & SERIAL_RTS_MASK) {
    case SERIAL_RTS_CONTROL: dcb.fRtsControl = RTS_CONTROL_ENABLE; break;
    case SERIAL_RTS_HANDSHAKE: dcb.fRtsControl = RTS_CONTROL_HANDSHAKE; break;
    case SERIAL_TRANSMIT_TOGGLE: dcb.fRtsControl = RTS_CONTROL_TOGGLE; break;
    default: dcb.fRtsControl = RTS_CONTROL_DISABLE; break;
  }
  dcb.fOutX = (fr & SERIAL_AUTO_TRANSMIT) != 0;
  dcb.fInX = (fr & SERIAL_AUTO_RECEIVE) != 0;
  dcb.fErrorChar = (fr & SERIAL_ERROR_CHAR) != 0;
  dcb.fNull = (fr & SERIAL_NULL_STRIPPING) != 0;
  dcb.fTXContinueOnXoff = (fr & SERIAL_XOFF_CONTINUE) != 0;
  dcb.XonLim = static_cast<WORD>(r.handflow.XonLimit);
  dcb.XoffLim = static_cast<WORD>(r.handflow.XoffLimit);
  return TRUE;
}
