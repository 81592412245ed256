// SPDX-License-Identifier: Apache-2.0
// kxplay as a whole: from the command line to an exit status. Runs on the main thread; installs
// the SIGINT/SIGTERM handlers that ask the runner to stop cleanly.
#pragma once

#include <string>

namespace kx {

// Which build this is, as --version's second line says it: the kernel selected at start-up, whether
// the driver can play on ALSA devices, and the mix variant chosen on this processor, e.g.
// "build: kernel threads, ALSA yes, mix avx2".
std::string kxplayBuildLine();

// The program: 0 on success, 1 when a file or the output failed, 2 for a usage or scene error,
// 130 when interrupted. Messages go to standard error, --help/--version/--info to standard output.
int kxplayMain(int argc, char** argv);

}  // namespace kx
