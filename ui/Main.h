#pragma once

// The program's entry, shared by the hardware and the simulator builds;
// the backend must be installed before it is called.
int VorbanmillMain(int argc, char** argv);
