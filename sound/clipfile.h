#pragma once

// Finding the beat sound. A bare file name is looked for in the current
// folder first, then in the program's data folder, where an installed copy
// keeps it, then beside the executable, where the build puts it.

#include "sound/wavfile.h"

#include <span>
#include <string>
#include <vector>

namespace sound {

// The folders a bare name is looked for in, in order: "." for the current
// folder, the data folder, and the executable's folder when it can be told.
std::vector<std::string> ClipFolders();

struct FoundClip {
    wav::Clip clip;
    std::string subject;  // the file read, or the name itself when no folder had it
    std::string error;    // why there is no clip; empty when there is

    bool ok() const { return error.empty(); }
};

// A name with a slash in it is read as it stands. A bare name is read from
// the first folder that has something by that name, good or bad; when none
// has, the error names the folders looked in.
FoundClip FindClip(const std::string& name, std::span<const std::string> folders);

}  // namespace sound
