// kxplay as a whole: from the command line to an exit status. Runs on the main thread; installs
// the SIGINT/SIGTERM handlers that ask the runner to stop cleanly.
#pragma once

namespace kx {

// The program: 0 on success, 1 when a file or the output failed, 2 for a usage or scene error,
// 130 when interrupted. Messages go to standard error, --help/--version/--info to standard output.
int kxplayMain(int argc, char** argv);

}  // namespace kx
