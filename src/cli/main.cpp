// qvx71-noise: noise density, band and spot noise and the 1/f corner from a QVX71, headless.
#include "cli/noise_cli.h"

int main(int argc, char** argv) { return qvx::RunNoiseCli(argc, argv); }
