// The fwbench commands. Each takes the arguments after its name and returns the exit code
// (2: the arguments are wrong).
#pragma once

int CommandList(int argc, char** argv);
int CommandUpdate(int argc, char** argv);
int CommandRestart(int argc, char** argv);
int CommandCli(int argc, char** argv);
