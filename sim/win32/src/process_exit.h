// What process exit does to a program's handles: each still open is closed,
// files with cleanup and close, as Windows does when a process ends.
#pragma once

namespace sim {
namespace win32 {

void CloseProcessHandles();
// The registry keys it opened (RegOpenKeyEx) are closed too.
void CloseProcessKeys();

}  // namespace win32
}  // namespace sim
