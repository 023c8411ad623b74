#include "program/startup.h"

int main(int argc, char** argv) {
    return vemo::RunEngine(argc, argv);
}
