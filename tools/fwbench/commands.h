// The fwbench commands. Each takes the arguments after its name and returns the exit code.
#pragma once

int CommandList(int argc, char** argv);
