// dcc-cab-window: the window of dcc-cab, which starts it with its own command line.
#include "DCCCabApplication.h"

int main(int argc, char** argv) {
    DCCCabApplication application(argc, argv);
    return application.run();
}
