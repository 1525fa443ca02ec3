#pragma once

class QProcess;

// Every child starts with SIGINT, SIGTERM, SIGHUP and SIGPIPE at their
// defaults and no signal blocked, whatever this program inherited: started
// from a script in the background, it ignores SIGINT itself, and a worker
// that inherited that would never pause.
void startWithDefaultSignals(QProcess &process);
