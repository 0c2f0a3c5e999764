#include "sound/clipfile.h"

#include <unistd.h>

#include <algorithm>
#include <climits>

namespace sound {

namespace {

std::string ExecutableFolder()
{
    char path[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path);
    if (length <= 0 || static_cast<std::size_t>(length) == sizeof path)
        return {};
    const std::string executable(path, static_cast<std::size_t>(length));
    return executable.substr(0, executable.rfind('/'));
}

std::string Describe(const std::string& folder)
{
    return folder == "." ? "the current folder" : folder;
}

}  // namespace

std::vector<std::string> ClipFolders()
{
    std::vector<std::string> folders{".", EKGDEMO_DATA_DIR};
    const std::string beside = ExecutableFolder();
    if (!beside.empty() && std::find(folders.begin(), folders.end(), beside) == folders.end())
        folders.push_back(beside);
    return folders;
}

FoundClip FindClip(const std::string& name, std::span<const std::string> folders)
{
    if (name.find('/') != std::string::npos) {
        wav::ReadResult read = wav::ReadWavFile(name);
        return {std::move(read.clip), name, std::move(read.error)};
    }
    for (const std::string& folder : folders) {
        const std::string path = folder == "." ? name : folder + "/" + name;
        wav::ReadResult read = wav::ReadWavFile(path);
        if (!read.notFound)
            return {std::move(read.clip), path, std::move(read.error)};
    }
    std::string looked;
    for (std::size_t k = 0; k < folders.size(); ++k)
        looked += (k == 0 ? "" : k + 1 == folders.size() ? " or " : ", ") + Describe(folders[k]);
    return {{}, name, "not found in " + looked};
}

}  // namespace sound
