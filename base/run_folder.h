// Folders that one run keeps in the shared temporary folder: the updater's
// extracted patch, a patch package's unpacked copies. Each is private to this
// user and named unpredictably (MakePrivateFolder), so that nobody can plant
// a link at a name the run is about to write, and it holds an owner file
// naming the process that uses it, so that a later run removes what an
// interrupted one left behind and leaves folders in use alone.
//
// Nothing here reports to the error state: a caller words its own report
// while LastSystemError() still names the cause. Any thread; several runs may
// share one temporary folder.
#pragma once

#include <string>

namespace qlmr {

// The file in a run folder that names the process using it: its id in
// decimal and a line feed.
constexpr char kRunFolderOwnerName[] = ".~owner";

// Makes a run folder in `parent`, named `prefix`, 16 hexadecimal digits and
// ".tmp", names this process its owner in it and stores its path in `*path`.
// False when none can be made.
bool MakeRunFolder(const std::string& parent, const char* prefix, std::string* path);

// Removes a run folder with everything in it; best effort.
void RemoveRunFolder(const std::string& path);

// Whether `name` is `prefix`, 1 to 4 or 16 hexadecimal digits and ".tmp",
// letter case ignored: a name that CreateUniqueTempFile or MakePrivateFolder
// gives.
bool IsRunTempName(const std::string& name, const char* prefix);

// Removes from `parent` what interrupted runs left behind under `prefix`:
//   - folders named as IsRunTempName says, that are this user's own folders
//     (IsOwnFolder: no link to one elsewhere), hold nothing but files that
//     `isRunFile` accepts and an owner file, and whose owner file names no
//     running process (one cut short names none);
//   - empty files of such a name, with which earlier runs reserved the name.
// Anything else stays: it is not ours to remove. Reads `parent` once and the
// process list at most once.
void RemoveLeftoverRunFolders(const std::string& parent, const char* prefix,
                              bool (*isRunFile)(const std::string& name));

}  // namespace qlmr
