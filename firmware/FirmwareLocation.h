#pragma once

#include <string>
#include <string_view>

// Where the firmware chunk files (app0.dat, app1.dat, app2.dat) are looked up.
// By default that is the folder of the running executable, so an installed
// tool finds the files installed beside it. The application may point
// elsewhere (the tool's --firmware-dir option); an empty folder returns to the
// default. Safe to call from any thread.
void SetFirmwareFolder(std::string folder);

// The folder in effect, without a trailing '/' (except for the root "/").
std::string FirmwareFolder();

// FirmwareFolder() + '/' + name.
std::string FirmwarePath(std::string_view name);

// The folder of the running executable, from /proc/self/exe; "." when the
// link cannot be read.
std::string ExecutableFolder();
