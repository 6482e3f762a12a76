// The program's command line: help, version, the directory to record into and the options
// of a run started without a hand on the window, all read before Qt starts so that none of
// them, and none of their refusals, needs a display or opens a window.
#pragma once

#include <ctime>
#include <string>
#include <vector>

#include "app/RunOptions.h"

// What main() does after reading the command line.
struct CommandLineResult {
    bool startMainWindow = true;  // false: print, then end with exitStatus
    int exitStatus = 0;
    std::string out;              // for standard output
    std::string err;              // for standard error
    RunOptions run;               // what the main window is to be set to, and whether it starts
};

// The exit status of a command line that cannot be followed.
constexpr int kCommandLineErrorStatus = 2;

// Reads the arguments (the program name first, as in argv) and, for -C/--directory, makes
// that directory the current one. Qt's own options (-platform, -display, -style, ...) are
// accepted and left for QApplication. Arguments are taken as the bytes the shell passed, so
// a directory name that is not valid in the locale's encoding still works.
// An --until that has passed at now ends the program with status 0: nothing is recorded.
CommandLineResult ReadCommandLine(const std::vector<std::string>& arguments,
                                  std::time_t now = std::time(nullptr));
CommandLineResult ReadCommandLine(int argc, char** argv);
