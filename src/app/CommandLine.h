// The program's command line: help, version and the directory to record into, all handled
// before Qt starts so that none of them needs a display or opens a window.
#pragma once

#include <string>
#include <vector>

// What main() does after reading the command line.
struct CommandLineResult {
    bool startMainWindow = true;  // false: print, then end with exitStatus
    int exitStatus = 0;
    std::string out;              // for standard output
    std::string err;              // for standard error
};

// The exit status of a command line that cannot be followed.
constexpr int kCommandLineErrorStatus = 2;

// Reads the arguments (the program name first, as in argv) and, for -C/--directory, makes
// that directory the current one. Qt's own options (-platform, -display, -style, ...) are
// accepted and left for QApplication. Arguments are taken as the bytes the shell passed, so
// a directory name that is not valid in the locale's encoding still works.
CommandLineResult ReadCommandLine(const std::vector<std::string>& arguments);
CommandLineResult ReadCommandLine(int argc, char** argv);
