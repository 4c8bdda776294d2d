#include "DCCCabApplication.h"

int main(int argc, char** argv) {
    DCCCabApplication application(argc, argv);
    return application.run();
}
