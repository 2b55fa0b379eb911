#include "cli/commands.h"

int main(int argc, char** argv) { return tavrik::RunCli(argc, argv); }
