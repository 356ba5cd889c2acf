#pragma once

// Prints the usage text.
void usage();
// The program entry behind main: reads the first option and runs it; the process exit code.
int RunFromCommandLine(int argc, char **argv);
