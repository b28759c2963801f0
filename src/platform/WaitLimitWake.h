// The wake-up behind WaitLimitWakeFd: something a socket wait can poll beside
// its socket, raised when a limit is imposed. One implementation per platform.
#pragma once

namespace platform::wake {

// The handle to poll for readability; -1 when none could be made.
int Handle();
// Makes Handle readable until Clear.
void Raise();
void Clear();
// Gives the handle back before the network library is shut down; a later
// Handle makes a new one.
void Close();

}  // namespace platform::wake
