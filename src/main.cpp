#include "app/cli/CommandLine.h"

int main(int argc, char** argv) { return quorvel::RunCommandLine(argc, argv); }
