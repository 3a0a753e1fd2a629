// FormatMessage from the system's message table: the English texts of the
// errors this Win32 layer returns, each ending in CR LF as Windows' do.
#include <windows.h>

#include <string>

namespace {

struct Message {
  DWORD id;
  const char *text;
};

const Message kMessages[] = {
    {ERROR_SUCCESS, "The operation completed successfully."},
    {ERROR_INVALID_FUNCTION, "Incorrect function."},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified."},
    {ERROR_ACCESS_DENIED, "Access is denied."},
    {ERROR_INVALID_HANDLE, "The handle is invalid."},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough storage is available to process this command."},
    {ERROR_INVALID_DATA, "The data is invalid."},
    {ERROR_OUTOFMEMORY, "Not enough storage is available to complete this operation."},
    {ERROR_NOT_READY, "The device is not ready."},
    {ERROR_BAD_COMMAND, "The device does not recognize the command."},
    {ERROR_CRC, "Data error (cyclic redundancy check)."},
    {ERROR_BAD_LENGTH, "The program issued a command but the command length is incorrect."},
    {ERROR_GEN_FAILURE, "A device attached to the system is not functioning."},
    {ERROR_SHARING_VIOLATION, "The process cannot access the file because it is being used by another process."},
    {ERROR_HANDLE_EOF, "Reached the end of the file."},
    {ERROR_NOT_SUPPORTED, "The request is not supported."},
    {ERROR_DEV_NOT_EXIST, "The specified network resource or device is no longer available."},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
    {ERROR_SEM_TIMEOUT, "The semaphore timeout period has expired."},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small."},
    {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect."},
    {ERROR_BUSY, "The requested resource is in use."},
    {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists."},
    {ERROR_MORE_DATA, "More data is available."},
    {ERROR_NO_MORE_ITEMS, "No more data is available."},
    {ERROR_MR_MID_NOT_FOUND, "The system cannot find message text for message number 0x%1 in the message file for %2."},
    {ERROR_OPERATION_ABORTED,
     "The I/O operation has been aborted because of either a thread exit or an application request."},
    {ERROR_IO_INCOMPLETE, "Overlapped I/O event is not in a signaled state."},
    {ERROR_IO_PENDING, "Overlapped I/O operation is in progress."},
    {ERROR_NOACCESS, "Invalid access to memory location."},
    {ERROR_INVALID_FLAGS, "Invalid flags."},
    {ERROR_NO_UNICODE_TRANSLATION, "No mapping for the Unicode character exists in the target multi-byte code page."},
    {ERROR_DEVICE_NOT_CONNECTED, "The device is not connected."},
    {ERROR_NOT_FOUND, "Element not found."},
    {ERROR_NO_SYSTEM_RESOURCES, "Insufficient system resources exist to complete the requested service."},
    {ERROR_TIMEOUT, "This operation returned because the timeout period expired."},
    {ERROR_INVALID_USER_BUFFER, "The supplied user buffer is not valid for the requested operation."},
    {ERROR_RESOURCE_LANG_NOT_FOUND,
     "The specified resource language ID cannot be found in the image file."},
};

const char *Find(DWORD id) {
  for (const Message &m : kMessages)
    if (m.id == id) return m.text;
  return nullptr;
}

// The text a call asks for, or 0 with the last error set.
bool Lookup(DWORD flags, DWORD id, DWORD language, va_list *args, std::string *text) {
  const DWORD known = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                      FORMAT_MESSAGE_ARGUMENT_ARRAY;
  // Only the system table is kept, and its texts as stored (no line width).
  if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM) || (flags & ~known)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  WORD primary = language & 0x3ff;
  if (language != 0 && primary != LANG_NEUTRAL && primary != LANG_ENGLISH) {
    SetLastError(ERROR_RESOURCE_LANG_NOT_FOUND);
    return false;
  }
  const char *found = Find(id);
  if (!found) {
    SetLastError(ERROR_MR_MID_NOT_FOUND);
    return false;
  }
  *text = found;
  // No message here has inserts but the one about missing messages; filling
  // it takes arguments this layer does not format.
  if (!(flags & FORMAT_MESSAGE_IGNORE_INSERTS) && text->find('%') != std::string::npos) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  *text += "\r\n";
  return true;
}

template <typename Char>
DWORD Deliver(DWORD flags, const std::string &text, Char *buffer, DWORD size) {
  DWORD count = (DWORD)text.size();
  Char *out;
  if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
    // lpBuffer is where the allocated buffer's address goes; nSize its least size.
    if (!buffer) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    DWORD chars = count + 1 > size ? count + 1 : size;
    out = (Char *)LocalAlloc(LMEM_FIXED, chars * sizeof(Char));
    if (!out) return 0;
    *(Char **)buffer = out;
  } else {
    if (!buffer || size < count + 1) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return 0;
    }
    out = buffer;
  }
  for (DWORD i = 0; i < count; ++i) out[i] = (Char)(unsigned char)text[i];
  out[count] = 0;
  return count;
}

}  // namespace

extern "C" DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                                       LPSTR lpBuffer, DWORD nSize, va_list *Arguments) {
  std::string text;
  if (!Lookup(dwFlags, dwMessageId, dwLanguageId, Arguments, &text)) return 0;
  return Deliver<CHAR>(dwFlags, text, lpBuffer, nSize);
}

extern "C" DWORD WINAPI FormatMessageW(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                                       LPWSTR lpBuffer, DWORD nSize, va_list *Arguments) {
  std::string text;
  if (!Lookup(dwFlags, dwMessageId, dwLanguageId, Arguments, &text)) return 0;
  return Deliver<WCHAR>(dwFlags, text, lpBuffer, nSize);
}
