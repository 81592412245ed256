// SPDX-License-Identifier: Apache-2.0
// kxplay's entry point. The program itself lives in kxplaylib (app.cpp, and prepare.cpp for
// `kxplay prepare`) so that the tests run the same code; this file only hands over the command
// line.
#include <cstring>
#include <string>
#include <vector>

#include "tools/kxplay/app.h"
#include "tools/kxplay/prepare.h"

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "prepare") == 0)
        return kx::runPrepare(std::vector<std::string>(argv + 2, argv + argc));
    return kx::kxplayMain(argc, argv);
}
