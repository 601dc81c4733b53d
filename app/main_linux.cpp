// vorbanmill: runs on the machine's own PCI bus through the Linux backend.
#include "ui/Main.h"

int main(int argc, char** argv) { return VorbanmillMain(argc, argv); }
