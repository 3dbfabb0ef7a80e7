// Winsock must be started once in a process before any socket call.
#pragma once

// Starts Winsock 2.2 on the first call; later calls only report how that went. Thread-safe.
bool StartWinsock();
