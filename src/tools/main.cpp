#include "tools/vemoctl.h"

int main(int argc, char** argv) {
    return vemo::tools::RunVemoctl(argc, argv);
}
