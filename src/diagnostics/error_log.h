// The error log (beside the library file where it can be) and the process-wide
// last-error text.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "diagnostics/log_location.h"

namespace netpod {

inline constexpr std::string_view kLogLockName = "LOG_FILE_QORVI_NETPOD_DLL";
inline constexpr std::string_view kMessageBoxCaption = "Qorvi-NETPOD_DLLInterface.dll";

// Makes `message` the last-error text and appends a dated entry with `ipText` to the
// error log, serialised across threads and processes by the named lock. The
// last-error text changes at every call; the log takes an entry only when the same
// message about the same IP text was not written in the last few seconds, and
// otherwise counts it, to write "Previous message repeated N times: <message>" later
// (see RepeatFilter). Returns true when the entry (or the summaries that fell due)
// reached the file, or when the report was counted. Never throws.
bool WriteErrorLog(std::string_view message, std::string_view ipText);

// A copy of the whole current last-error text ("No Error" until the first failure).
std::string LastErrorText();

// Copies the first min(*length, text length) characters of `text` to `buffer` and
// lowers *length to the text length when the text is shorter. A capacity of zero or
// below copies nothing. No terminating zero is written.
void CopyTextToCallerBuffer(std::string_view text, char* buffer, std::int32_t* length);

// Where the log goes and why: the folder named by QORVI_NETPOD_LOG_DIR; else the
// folder of the library's own file (or of the executable when the library's file
// cannot be found) when this user may write there; else the user's state folder
// ($XDG_STATE_HOME/qorvi-netpod, or ~/.local/state/qorvi-netpod), created on
// first use. Decided again at every write.
LogLocation ErrorLogLocation();

// The file of ErrorLogLocation(); empty when no folder can be found.
std::string ErrorLogPath();

// The description of a failure for want of file descriptors (EMFILE, ENFILE), for a
// message of the usual form "<description>\t(<function>)"; empty for other errors.
std::string_view FileDescriptorShortageText(int error);

// Tests only: use another cross-process lock name, so that a test which holds or
// abandons the lock does not disturb the other tests running at the same time.
void SetErrorLogLockNameForTesting(std::string_view name);

// Tests only: the time that decides when a repeat is counted and when its summary is
// due (nullptr: steady_clock).
using ErrorLogClock = std::chrono::steady_clock::time_point (*)();
void SetErrorLogClockForTesting(ErrorLogClock clock);

// The IP column of an entry: "None" for "0" (the IP text of no address), otherwise the text, padded with blanks
// to 15 characters (never cut), then a tab.
std::string FormatIpColumn(std::string_view ipText);

}  // namespace netpod
