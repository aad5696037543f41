// fwpkg's commands; main.cpp dispatches to them. Each returns the process exit status.
#pragma once

int CommandList(int argc, char** argv);    // fwpkg list ARCHIVE
int CommandUnpack(int argc, char** argv);  // fwpkg unpack ARCHIVE DIR [--password TEXT]
int CommandCheck(int argc, char** argv);   // fwpkg check PACKAGE
int CommandNewVersion(int argc, char** argv);  // fwpkg newversion PACKAGE
int CommandSample(int argc, char** argv);  // fwpkg sample OUT.zip
