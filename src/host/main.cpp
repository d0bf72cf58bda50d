#include "host/Application.h"

int main(int argc, char** argv) {
    return kivo::host::runApplication(argc, argv);
}
