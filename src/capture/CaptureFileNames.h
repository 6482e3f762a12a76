// Numbered output files in the current directory: brslt000 to brslt999 of each kind.
#pragma once

#include <string>

// Why no numbered name could be handed out: all 1000 are taken, or the current directory is
// gone (removed, or no longer reachable).
enum class NoFileName { None, AllTaken, NoDirectory };

// Numbered output files in the current directory; an empty name when none can be had (why
// then in *why). The names are the file system's bytes, whatever their encoding.
std::string NextCaptureFileName(NoFileName* why = nullptr);
std::string NextSnapshotFileName();
// Whether a file of that numbered name is in the current directory now.
bool NumberedFileExists(const std::string& path);
