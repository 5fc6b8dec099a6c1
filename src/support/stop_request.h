// A request from outside to stop the run: SIGINT, SIGTERM or SIGHUP on POSIX;
// Ctrl+C, Ctrl+Break, the console window closing, log-off or shut-down on
// Windows.
//
// The handlers only record the request. The waits of the serial port, the
// fixed pauses (SleepMs) and the transfer loops look at it and end, so that
// the clean-up (a dump's temporary file, the console line) runs in normal
// code, never inside a handler. A second request while the first is being
// handled ends the process at once, as the platform's default would; on
// POSIX the handler then still moves the file being written to its .partial
// name first (see SetFileInProgress).
#pragma once

// Installs the handlers (the console files of each platform implement it).
void InstallStopHandlers();

bool StopRequested();
// The POSIX number of the signal that asked for the stop: 2 (SIGINT: Ctrl+C,
// Ctrl+Break), 15 (SIGTERM: log-off, shut-down), 1 (SIGHUP: the terminal or
// console window went away); 0 when no stop was asked for.
int StopSignal();
// "SIGINT", "SIGTERM", "SIGHUP" (or "signal N"); empty when none.
const char* StopSignalName();
// The process exit status of a stopped run: 128 + the signal number.
int StopExitStatus();

// The temporary file being written and the name its data goes to when the
// run ends without it (NAME.partial), for a second request that ends the
// process at once: the handler moves it there, or removes it when empty, so
// that no temporary file is left behind. Null clears it. Names too long for
// the handler's buffers are not recorded.
void SetFileInProgress(const char* temporary, const char* partial);
// For the handlers: the two names; false when none is recorded.
bool FileInProgress(const char** temporary, const char** partial);

// Records a request; safe inside a signal handler. Handlers and tests call it.
void RequestStop(int signalNumber);
// Forgets a request (tests only).
void ClearStopRequest();
