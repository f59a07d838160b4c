#pragma once

#include <string>
#include <string_view>
#include <vector>

// Where the firmware chunk files (app0.dat, app1.dat, app2.dat) are looked up.
//
// Without a chosen folder the tool searches, in this order:
//   1. the folder of the running executable (a build tree, or files a user
//      put beside the tool), then
//   2. the installed firmware folder, <prefix>/share/tyvo/firmware.
// The first folder that holds any of the three files is where all of them are
// read from: files from different folders are never mixed, since an app0.dat
// from one release with an app1.dat from another is not a pair anyone tested.
// When no folder holds any of them, the executable's folder is named (and the
// reader's standard-error line says which folders were searched).
//
// The application may choose a folder (the tool's --firmware-dir option); it
// wins over the search, and an empty folder returns to the search. Safe to
// call from any thread.
void SetFirmwareFolder(std::string folder);

// The folder chosen with SetFirmwareFolder, empty when none is.
std::string ChosenFirmwareFolder();

// The folder in effect, without a trailing '/' (except for the root "/").
std::string FirmwareFolder();

// FirmwareFolder() + '/' + name.
std::string FirmwarePath(std::string_view name);

// The folder of the running executable, from /proc/self/exe; "." when the
// link cannot be read.
std::string ExecutableFolder();

// The installed firmware folder, <prefix>/share/tyvo/firmware, fixed when the
// tool is built.
std::string InstalledFirmwareFolder();

// The folders searched when none is chosen, in order.
std::vector<std::string> FirmwareSearchFolders();

// The first of folders that holds app0.dat, app1.dat or app2.dat; the first
// folder when none does; "." for an empty list.
std::string FirstFolderWithFirmware(const std::vector<std::string>& folders);

// One line for standard error, without a line end, that names where firmware
// files were looked for: the chosen folder, or every searched folder.
std::string FirmwareSearchNote();
