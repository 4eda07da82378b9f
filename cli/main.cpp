#include "cli/Cli.h"

int main(int argc, char** argv) {
    return kivo::kivoMain(argc, argv);
}
