// kxplay's entry point. The program itself lives in kxplaylib (app.cpp) so that the tests run
// the same code; this file only hands over the command line.
#include "tools/kxplay/app.h"

int main(int argc, char** argv) {
    return kx::kxplayMain(argc, argv);
}
