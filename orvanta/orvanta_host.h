// What the host library's services offer its own server beyond the executable's interface.
#pragma once

// Waits up to timeoutMsec until the debug lines held back for a stalled standard error are
// written; false when the time ran out first. For the end of the process.
bool FlushDebugLog(int timeoutMsec);
