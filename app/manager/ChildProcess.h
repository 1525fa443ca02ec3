#pragma once

class QProcess;

// Every child starts with SIGINT, SIGTERM, SIGHUP and SIGPIPE at their
// defaults and no signal blocked, whatever this program inherited: started
// from a script in the background, it ignores SIGINT itself, and a worker
// that inherited that would never pause. With an output descriptor, the
// child writes both its output and its errors there instead of to QProcess.
void startWithDefaultSignals(QProcess &process, int outputDescriptor = -1);

// The signal that ends the whole application, once it has come: a logout
// sends it to the workers as well, and a worker it ended was paused by it,
// not failed. Safe to call from a signal handler.
void noteEndingSignal(int signal);
// 0 while no such signal has come.
int endingSignal();
