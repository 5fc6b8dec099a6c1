// A request from outside to stop the run: SIGINT, SIGTERM or SIGHUP on POSIX;
// Ctrl+C, Ctrl+Break, the console window closing, log-off or shut-down on
// Windows.
//
// The handlers only record the request. The waits of the serial port, the
// fixed pauses (SleepMs) and the transfer loops look at it and end, so that
// the clean-up (a dump's temporary file, the console line) runs in normal
// code, never inside a handler. A second request while the first is being
// handled ends the process at once, as the platform's default would.
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

// Records a request; safe inside a signal handler. Handlers and tests call it.
void RequestStop(int signalNumber);
// Forgets a request (tests only).
void ClearStopRequest();
